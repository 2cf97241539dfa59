#include "platform/pulse/pulse_capture_source.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

namespace lumeno::platform {

namespace {

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

struct SourceInfo {
    bool found = false;
    std::string name;
    std::string description;
    std::uint32_t index = PA_INVALID_INDEX;
    pa_sample_spec spec{};
    pa_channel_map map{};
};

// The stream carries one or two channels: a multichannel interface is recorded as stereo and
// the sound server mixes its channels down.
constexpr std::uint8_t kMaxChannels = 2;

std::uint8_t recordedChannels(const pa_sample_spec& spec) { return std::min(spec.channels, kMaxChannels); }

}  // namespace

struct PulseCaptureSource::Impl {
    explicit Impl(std::chrono::milliseconds waitLimit) : timeout(waitLimit) {
        loop = pa_threaded_mainloop_new();
        if (!loop) return;
        pa_threaded_mainloop_set_name(loop, "audio.capture");
        if (pa_threaded_mainloop_start(loop) < 0) {
            pa_threaded_mainloop_free(loop);
            loop = nullptr;
        }
    }

    ~Impl() {
        if (!loop) return;
        {
            LoopLock lock(loop);
            closeStream();
            dropContext();
        }
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    std::string lastError() const { return context ? pa_strerror(pa_context_errno(context)) : "no connection"; }

    // Waits, with the lock held, until `done` holds or the time limit passes.
    template <typename Done>
    bool wait(Done done) {
        if (done()) return true;
        struct Deadline {
            pa_threaded_mainloop* loop;
            bool passed = false;
        } deadline{loop};
        pa_time_event* event = pa_context_rttime_new(
            context, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
                auto* d = static_cast<Deadline*>(userdata);
                d->passed = true;
                pa_threaded_mainloop_signal(d->loop, 0);
            },
            &deadline);
        while (!done() && !deadline.passed) pa_threaded_mainloop_wait(loop);
        if (event) pa_threaded_mainloop_get_api(loop)->time_free(event);
        return done();
    }

    bool finish(pa_operation* operation) {
        if (!operation) return false;
        const bool done = wait([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
        if (!done) pa_operation_cancel(operation);
        const bool succeeded = pa_operation_get_state(operation) == PA_OPERATION_DONE;
        pa_operation_unref(operation);
        return succeeded;
    }

    bool connect(std::string& error) {
        if (!loop) {
            error = "cannot start the PulseAudio client thread";
            return false;
        }
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY) return true;
        dropContext();
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Lumeno");
        if (!context) {
            error = "cannot create a PulseAudio client";
            return false;
        }
        pa_context_set_state_callback(context, &Impl::contextStateChanged, this);
        // No autospawn: a missing server is reported, not silently started behind the operator's back.
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            error = "cannot connect to the PulseAudio server: " + lastError();
            dropContext();
            return false;
        }
        const bool settled = wait([&] {
            const auto state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
        if (pa_context_get_state(context) != PA_CONTEXT_READY) {
            error = settled ? "cannot connect to the PulseAudio server: " + lastError()
                            : "the PulseAudio server did not answer within " + std::to_string(timeout.count()) + " ms";
            dropContext();
            return false;
        }
        return true;
    }

    void dropContext() {
        if (!context) return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    static void collectSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* query = static_cast<std::pair<Impl*, SourceInfo*>*>(userdata);
        if (eol == 0 && info) {
            SourceInfo& out = *query->second;
            out.found = true;
            out.name = info->name ? info->name : "";
            out.description = info->description ? info->description : out.name;
            out.index = info->index;
            out.spec = info->sample_spec;
            out.map = info->channel_map;
        }
        if (eol != 0) pa_threaded_mainloop_signal(query->first->loop, 0);
    }

    SourceInfo sourceByName(const std::string& name) {
        SourceInfo info;
        std::pair<Impl*, SourceInfo*> query{this, &info};
        finish(pa_context_get_source_info_by_name(context, name.c_str(), &Impl::collectSource, &query));
        return info;
    }

    SourceInfo sourceByIndex(std::uint32_t index) {
        SourceInfo info;
        std::pair<Impl*, SourceInfo*> query{this, &info};
        finish(pa_context_get_source_info_by_index(context, index, &Impl::collectSource, &query));
        return info;
    }

    std::string defaultSourceName() {
        std::pair<Impl*, std::string> query{this, {}};
        finish(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* userdata) {
                auto* q = static_cast<std::pair<Impl*, std::string>*>(userdata);
                if (info && info->default_source_name) q->second = info->default_source_name;
                pa_threaded_mainloop_signal(q->first->loop, 0);
            },
            &query));
        return query.second;
    }

    // The default source with its format; `error` says why there is none.
    SourceInfo defaultSource(std::string& error) {
        if (!connect(error)) return {};
        const std::string name = defaultSourceName();
        if (name.empty()) {
            error = "the PulseAudio server has no default input";
            return {};
        }
        SourceInfo info = sourceByName(name);
        if (!info.found) {
            error = "the default input '" + name + "' is not available";
            return {};
        }
        if (!pa_sample_spec_valid(&info.spec) || !pa_channel_map_valid(&info.map) ||
            info.map.channels != info.spec.channels) {
            error = "the default input '" + name + "' reports an unusable format";
            return {};
        }
        return info;
    }

    static void contextStateChanged(pa_context* c, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c)))
            self->reportLoss(std::string("the PulseAudio server went away: ") + pa_strerror(pa_context_errno(c)));
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void streamStateChanged(pa_stream* s, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
            self->reportLoss(std::string("the audio input went away: ") + self->lastError());
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void streamReadable(pa_stream* s, size_t, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        for (;;) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0) {
                self->reportLoss(std::string("reading the audio input failed: ") + self->lastError());
                return;
            }
            if (bytes == 0) return;  // drained
            // A hole (data null) carries no samples: skipping it keeps the buffers gap-free.
            if (data && self->running) self->deinterleave(static_cast<const std::uint8_t*>(data), bytes);
            pa_stream_drop(s);
        }
    }

    // Record streams hand over whole frames, so `bytes` is a multiple of the frame size.
    void deinterleave(const std::uint8_t* data, std::size_t bytes) {
        audio::FloatBuffer& buffer = *pending;
        const std::uint32_t channels = buffer.channelCount();
        const std::size_t frames = bytes / (sizeof(float) * channels);
        for (std::size_t f = 0; f < frames; ++f) {
            for (std::uint32_t c = 0; c < channels; ++c) {
                std::memcpy(buffer.channel(c) + pendingFrames, data, sizeof(float));
                data += sizeof(float);
            }
            if (++pendingFrames == buffer.frameCapacity()) {
                buffer.setFrameLength(pendingFrames);
                pendingFrames = 0;
                if (onBuffer) onBuffer(buffer.view());
            }
        }
    }

    void reportLoss(const std::string& why) {
        if (!running.exchange(false)) return;
        if (onError) onError(why);
    }

    void closeStream() {
        running = false;
        if (!stream) return;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
        onBuffer = nullptr;
        onError = nullptr;
    }

    std::optional<audio::CaptureError> start(BufferHandler bufferHandler, ErrorHandler errorHandler) {
        std::string error;
        SourceInfo source = defaultSource(error);
        if (!source.found) return audio::CaptureError{error};

        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, source.spec.rate, recordedChannels(source.spec)};
        pa_channel_map map = source.map;
        if (spec.channels != source.spec.channels) pa_channel_map_init_stereo(&map);
        stream = pa_stream_new(context, "Lumeno capture", &spec, &map);
        if (!stream) return audio::CaptureError{"cannot create a recording stream: " + lastError()};
        pending = std::make_unique<audio::FloatBuffer>(spec.channels, kFramesPerBuffer, spec.rate);
        pendingFrames = 0;
        onBuffer = std::move(bufferHandler);
        onError = std::move(errorHandler);
        pa_stream_set_state_callback(stream, &Impl::streamStateChanged, this);
        pa_stream_set_read_callback(stream, &Impl::streamReadable, this);

        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(-1);
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        // With ADJUST_LATENCY the server both hands data over in fragments of this size and
        // lowers the source's latency to match, so a block leaves as soon as it is recorded;
        // without it the source keeps its own latency, which may be far longer than a block.
        // Fragments of another size are cut into whole blocks by deinterleave().
        attributes.fragsize = static_cast<std::uint32_t>(kFramesPerBuffer * pa_frame_size(&spec));
        // DONT_MOVE: when the source goes away the stream fails instead of being moved to another
        // source in another format, which the announced stream format could not follow.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream, source.name.c_str(), &attributes, flags) < 0) {
            error = "cannot record from '" + source.name + "': " + lastError();
            closeStream();
            return audio::CaptureError{error};
        }
        const bool settled = wait([&] {
            const auto state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (pa_stream_get_state(stream) != PA_STREAM_READY) {
            error = settled ? "cannot record from '" + source.name + "': " + lastError()
                            : "recording from '" + source.name + "' did not start within " +
                                  std::to_string(timeout.count()) + " ms";
            closeStream();
            return audio::CaptureError{error};
        }
        running = true;
        return std::nullopt;
    }

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::chrono::milliseconds timeout;

    // Used on the loop thread with the lock held, or by control calls that hold the lock.
    BufferHandler onBuffer;
    ErrorHandler onError;
    std::unique_ptr<audio::FloatBuffer> pending;
    std::uint32_t pendingFrames = 0;
    std::atomic<bool> running{false};
};

PulseCaptureSource::PulseCaptureSource(std::chrono::milliseconds timeout) : impl_(std::make_unique<Impl>(timeout)) {}

PulseCaptureSource::~PulseCaptureSource() = default;

audio::FormatResult PulseCaptureSource::inputFormat() {
    if (!impl_->loop) return {std::nullopt, "cannot start the PulseAudio client thread"};
    LoopLock lock(impl_->loop);
    std::string error;
    const SourceInfo source = impl_->defaultSource(error);
    if (!source.found) return {std::nullopt, error};
    return {core::AudioFormat{static_cast<double>(source.spec.rate), recordedChannels(source.spec)}, {}};
}

std::optional<audio::CaptureError> PulseCaptureSource::start(BufferHandler onBuffer, ErrorHandler onError) {
    if (!impl_->loop) return audio::CaptureError{"cannot start the PulseAudio client thread"};
    LoopLock lock(impl_->loop);
    impl_->closeStream();
    return impl_->start(std::move(onBuffer), std::move(onError));
}

void PulseCaptureSource::stop() {
    if (!impl_->loop) return;
    LoopLock lock(impl_->loop);
    impl_->closeStream();
}

bool PulseCaptureSource::isRunning() const { return impl_->running.load(); }

std::vector<audio::CaptureDevice> PulseCaptureSource::captureDevices() {
    std::vector<audio::CaptureDevice> devices;
    if (!impl_->loop) return devices;
    LoopLock lock(impl_->loop);
    std::string error;
    if (!impl_->connect(error)) return devices;
    std::pair<Impl*, std::vector<audio::CaptureDevice>*> query{impl_.get(), &devices};
    impl_->finish(pa_context_get_source_info_list(
        impl_->context,
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            auto* q = static_cast<std::pair<Impl*, std::vector<audio::CaptureDevice>*>*>(userdata);
            if (eol == 0 && info && info->monitor_of_sink == PA_INVALID_INDEX && info->name) {
                q->second->push_back({info->description ? info->description : info->name, info->name});
            }
            if (eol != 0) pa_threaded_mainloop_signal(q->first->loop, 0);
        },
        &query));
    return devices;
}

std::optional<std::uint32_t> PulseCaptureSource::systemDeviceId(const std::string& uniqueID) {
    if (!impl_->loop) return std::nullopt;
    LoopLock lock(impl_->loop);
    std::string error;
    if (!impl_->connect(error)) return std::nullopt;
    const SourceInfo source = impl_->sourceByName(uniqueID);
    if (!source.found) return std::nullopt;
    return source.index;
}

bool PulseCaptureSource::setDefaultInput(std::uint32_t deviceId) {
    if (!impl_->loop) return false;
    LoopLock lock(impl_->loop);
    std::string error;
    if (!impl_->connect(error)) return false;
    const SourceInfo source = impl_->sourceByIndex(deviceId);
    if (!source.found) return false;
    std::pair<Impl*, bool> query{impl_.get(), false};
    impl_->finish(pa_context_set_default_source(
        impl_->context, source.name.c_str(),
        [](pa_context*, int success, void* userdata) {
            auto* q = static_cast<std::pair<Impl*, bool>*>(userdata);
            q->second = success != 0;
            pa_threaded_mainloop_signal(q->first->loop, 0);
        },
        &query));
    return query.second;
}

}  // namespace lumeno::platform
