#include "platform/alsa/alsa_midi_backend.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "platform/alsa/alsa_midi_translation.h"

namespace lumeno::platform {

using namespace midi;
using alsa::ChannelEvent;

namespace {

constexpr const char* kAnnouncePortName = "Lumeno Announcements";

// alsa-lib prints its own line when the sequencer device is missing; the controller already
// logs the failure with its status, so the library stays quiet while the client is opened.
void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

template <typename T, void (*Free)(T*)>
struct AlsaFree {
    void operator()(T* p) const { Free(p); }
};
using ClientInfo = std::unique_ptr<snd_seq_client_info_t, AlsaFree<snd_seq_client_info_t, snd_seq_client_info_free>>;
using PortInfo = std::unique_ptr<snd_seq_port_info_t, AlsaFree<snd_seq_port_info_t, snd_seq_port_info_free>>;

std::uint64_t nowNanoseconds() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::optional<std::string> takeAlsaString(int result, char* text) {
    if (result < 0 || !text) return std::nullopt;
    std::string copy(text);
    std::free(text);
    return copy;
}

// The maker of a card, once per card per scan: reading it opens the card's control device.
std::optional<std::string> cardVendor(int card, std::map<int, std::optional<std::string>>& cache) {
    if (auto it = cache.find(card); it != cache.end()) return it->second;
    char* shortName = nullptr;
    char* longName = nullptr;
    const auto shortText = takeAlsaString(snd_card_get_name(card, &shortName), shortName);
    const auto longText = takeAlsaString(snd_card_get_longname(card, &longName), longName);
    std::optional<std::string> vendor;
    if (shortText && longText) vendor = alsa::vendorFromCardNames(*shortText, *longText);
    cache[card] = vendor;
    return vendor;
}

bool isAnnouncement(const snd_seq_event_t& event) {
    return event.source.client == SND_SEQ_CLIENT_SYSTEM && event.source.port == SND_SEQ_PORT_SYSTEM_ANNOUNCE;
}

bool changesSources(const snd_seq_event_t& event, int ownClient) {
    switch (event.type) {
        case SND_SEQ_EVENT_CLIENT_START:
        case SND_SEQ_EVENT_CLIENT_EXIT:
        case SND_SEQ_EVENT_CLIENT_CHANGE:
        case SND_SEQ_EVENT_PORT_START:
        case SND_SEQ_EVENT_PORT_EXIT:
        case SND_SEQ_EVENT_PORT_CHANGE:
            return event.data.addr.client != ownClient;
        default:
            return false;  // subscriptions come and go without changing the sources
    }
}

}  // namespace

struct AlsaMIDIBackend::Impl {
    std::mutex seqMutex;  // every use of the handle and the port numbers
    snd_seq_t* seq = nullptr;
    int clientId = -1;
    int inputPort = -1;
    int wakeFd = -1;
    std::thread receiver;

    // Held while a callback runs, so that disposal waits for the last one to return.
    std::mutex callbackMutex;
    SetupChangedCallback onSetupChanged;
    ReadCallback onRead;

    void receiveLoop();
    void closeClient();
};

AlsaMIDIBackend::AlsaMIDIBackend() : impl_(std::make_unique<Impl>()) {}

AlsaMIDIBackend::~AlsaMIDIBackend() { impl_->closeClient(); }

MIDIBackend::Created<MIDIClientRef> AlsaMIDIBackend::createClient(const std::string& name,
                                                                  SetupChangedCallback onSetupChanged) {
    std::lock_guard lock(impl_->seqMutex);
    if (impl_->seq) return {-EBUSY, 0};

    snd_seq_t* seq = nullptr;
    snd_lib_error_set_handler(quietAlsaErrors);
    int status = snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
    snd_lib_error_set_handler(nullptr);
    if (status < 0) return {status, 0};

    auto fail = [&](int code) -> Created<MIDIClientRef> {
        snd_seq_close(seq);
        return {code, 0};
    };
    if ((status = snd_seq_set_client_name(seq, name.c_str())) < 0) return fail(status);
    const int announcePort = snd_seq_create_simple_port(seq, kAnnouncePortName,
                                                        SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                        SND_SEQ_PORT_TYPE_APPLICATION);
    if (announcePort < 0) return fail(announcePort);
    if ((status = snd_seq_connect_from(seq, announcePort, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE)) < 0)
        return fail(status);
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) return fail(-errno);

    impl_->seq = seq;
    impl_->clientId = snd_seq_client_id(seq);
    impl_->wakeFd = wakeFd;
    {
        std::lock_guard callbacks(impl_->callbackMutex);
        impl_->onSetupChanged = std::move(onSetupChanged);
    }
    impl_->receiver = std::thread([impl = impl_.get()] { impl->receiveLoop(); });
    return {0, static_cast<MIDIClientRef>(impl_->clientId)};
}

MIDIBackend::Created<MIDIPortRef> AlsaMIDIBackend::createInputPort(MIDIClientRef client, const std::string& name,
                                                                   ReadCallback onRead) {
    std::lock_guard lock(impl_->seqMutex);
    if (!impl_->seq || client != static_cast<MIDIClientRef>(impl_->clientId)) return {-EINVAL, 0};
    if (impl_->inputPort >= 0) return {-EBUSY, 0};
    const int port = snd_seq_create_simple_port(impl_->seq, name.c_str(),
                                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) return {port, 0};
    impl_->inputPort = port;
    {
        std::lock_guard callbacks(impl_->callbackMutex);
        impl_->onRead = std::move(onRead);
    }
    // Port numbers start at 0, which the seam reserves for "none".
    return {0, static_cast<MIDIPortRef>(port + 1)};
}

std::vector<MIDISourceInfo> AlsaMIDIBackend::sources() {
    std::lock_guard lock(impl_->seqMutex);
    std::vector<MIDISourceInfo> found;
    if (!impl_->seq) return found;

    snd_seq_client_info_t* rawClient = nullptr;
    snd_seq_port_info_t* rawPort = nullptr;
    if (snd_seq_client_info_malloc(&rawClient) < 0) return found;
    ClientInfo clientInfo(rawClient);
    if (snd_seq_port_info_malloc(&rawPort) < 0) return found;
    PortInfo portInfo(rawPort);

    std::map<int, std::optional<std::string>> vendors;
    constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    snd_seq_client_info_set_client(clientInfo.get(), -1);
    while (snd_seq_query_next_client(impl_->seq, clientInfo.get()) >= 0) {
        const int client = snd_seq_client_info_get_client(clientInfo.get());
        if (client == SND_SEQ_CLIENT_SYSTEM || client == impl_->clientId) continue;
        const char* clientName = snd_seq_client_info_get_name(clientInfo.get());
        const int card = snd_seq_client_info_get_card(clientInfo.get());
        const auto vendor = card >= 0 ? cardVendor(card, vendors) : std::nullopt;

        snd_seq_port_info_set_client(portInfo.get(), client);
        snd_seq_port_info_set_port(portInfo.get(), -1);
        while (snd_seq_query_next_port(impl_->seq, portInfo.get()) >= 0) {
            const unsigned caps = snd_seq_port_info_get_capability(portInfo.get());
            if ((caps & kReadable) != kReadable || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
            const char* portName = snd_seq_port_info_get_name(portInfo.get());
            found.push_back({alsa::endpointFor(client, snd_seq_port_info_get_port(portInfo.get())),
                             alsa::sourceName(clientName ? clientName : "", portName ? portName : ""), vendor});
        }
    }
    return found;
}

MIDIStatus AlsaMIDIBackend::connectSource(MIDIPortRef port, MIDIEndpointRef source) {
    std::lock_guard lock(impl_->seqMutex);
    if (!impl_->seq || port == 0 || static_cast<int>(port) - 1 != impl_->inputPort) return -EINVAL;
    const auto [client, sourcePort] = alsa::clientAndPort(source);
    const int status = snd_seq_connect_from(impl_->seq, impl_->inputPort, client, sourcePort);
    // Already subscribed is the state that was asked for.
    return status == -EBUSY ? 0 : status;
}

MIDIStatus AlsaMIDIBackend::disconnectSource(MIDIPortRef port, MIDIEndpointRef source) {
    std::lock_guard lock(impl_->seqMutex);
    if (!impl_->seq || port == 0 || static_cast<int>(port) - 1 != impl_->inputPort) return -EINVAL;
    const auto [client, sourcePort] = alsa::clientAndPort(source);
    const int status = snd_seq_disconnect_from(impl_->seq, impl_->inputPort, client, sourcePort);
    // No subscription (never made, or the source is gone) already means disconnected. The
    // controller disconnects the saved device before every connect, including the first one.
    return status == -ENOENT ? 0 : status;
}

void AlsaMIDIBackend::disposePort(MIDIPortRef port) {
    {
        std::lock_guard lock(impl_->seqMutex);
        if (!impl_->seq || port == 0 || static_cast<int>(port) - 1 != impl_->inputPort) return;
        snd_seq_delete_simple_port(impl_->seq, impl_->inputPort);
        impl_->inputPort = -1;
    }
    std::lock_guard callbacks(impl_->callbackMutex);
    impl_->onRead = nullptr;
}

void AlsaMIDIBackend::disposeClient(MIDIClientRef client) {
    {
        std::lock_guard lock(impl_->seqMutex);
        if (!impl_->seq || client != static_cast<MIDIClientRef>(impl_->clientId)) return;
    }
    impl_->closeClient();
}

std::string AlsaMIDIBackend::statusText(MIDIStatus status) const {
    return status == 0 ? std::string() : std::string(snd_strerror(status));
}

void AlsaMIDIBackend::Impl::closeClient() {
    if (receiver.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
        receiver.join();
    }
    {
        std::lock_guard callbacks(callbackMutex);
        onRead = nullptr;
        onSetupChanged = nullptr;
    }
    std::lock_guard lock(seqMutex);
    if (seq) snd_seq_close(seq);
    seq = nullptr;
    clientId = -1;
    inputPort = -1;
    if (wakeFd >= 0) ::close(wakeFd);
    wakeFd = -1;
}

void AlsaMIDIBackend::Impl::receiveLoop() {
    pthread_setname_np(pthread_self(), "midi.receive");
    std::vector<pollfd> fds;
    {
        std::lock_guard lock(seqMutex);
        const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
        fds.resize(static_cast<std::size_t>(count > 0 ? count : 0));
        if (!fds.empty()) snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
    }
    const std::size_t seqFds = fds.size();
    fds.push_back({wakeFd, POLLIN, 0});

    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds.back().revents != 0) return;
        for (std::size_t i = 0; i < seqFds; ++i)
            if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) return;

        std::vector<MIDIPacket> packets;
        bool setupChanged = false;
        {
            std::lock_guard lock(seqMutex);
            for (;;) {
                snd_seq_event_t* event = nullptr;
                const int got = snd_seq_event_input(seq, &event);
                if (got == -ENOSPC) continue;  // the kernel's queue overflowed; what remains is still good
                if (got < 0 || !event) break;  // -EAGAIN: drained
                if (isAnnouncement(*event)) {
                    setupChanged = setupChanged || changesSources(*event, clientId);
                    continue;
                }
                if (inputPort < 0 || event->dest.port != inputPort) continue;
                std::optional<MIDIPacket> packet;
                if (event->type == SND_SEQ_EVENT_NOTEON)
                    packet = alsa::packetForChannelEvent(ChannelEvent::noteOn, event->data.note.channel,
                                                         event->data.note.note, event->data.note.velocity,
                                                         nowNanoseconds());
                else if (event->type == SND_SEQ_EVENT_CONTROLLER)
                    packet = alsa::packetForChannelEvent(ChannelEvent::controller, event->data.control.channel,
                                                         event->data.control.param, event->data.control.value,
                                                         nowNanoseconds());
                if (packet) packets.push_back(std::move(*packet));
            }
        }

        std::lock_guard callbacks(callbackMutex);
        // A burst of announcements (a device with several ports) is one setup change.
        if (setupChanged && onSetupChanged) onSetupChanged();
        if (onRead)
            for (const auto& packet : packets) onRead(MIDIPacketList{packet});
    }
}

}  // namespace lumeno::platform
