// A test-only listener server driven over standard input, built from the same server library as
// lumeno, so browser tests can send chosen captions and audio.
//
//   listener_fixture [--port N] [--set KEY=VALUE]...   prints "READY <port>" once listening on
//                                                      127.0.0.1 (a free port unless given, so a
//                                                      test can restart the server in place)
//
// Commands, one per line:
//   streaming on|off                 the status document
//   partial TEXT / final TEXT        broadcast one caption message
//   tone RATE CHANNELS SECONDS [FRAMES]   announce the format and send a 440 Hz tone in real
//                                         time, in chunks of FRAMES frames (a capture block by
//                                         default); a tone still running stops first
//   count                            prints "COUNT <n>", the server's listener count
//   logo PATH                        store the file's bytes as the logo
//   quit
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "app/options.h"
#include "core/audio_format.h"
#include "core/log.h"
#include "core/notification_center.h"
#include "core/thread_main_queue.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"
#include "server/listener_page.h"
#include "server/simple_http_server.h"
#include "server/transcription_message.h"

using namespace lumeno;

namespace {

// Chunks (a capture block unless told) of a 440 Hz tone at half scale, paced in real time.
void sendTone(server::SimpleHTTPServer& server, double rate, std::uint32_t channels, double seconds,
              std::size_t kFrames, const std::atomic<bool>& stop) {
    const auto chunks = static_cast<std::size_t>(seconds * rate / kFrames);
    const auto period = std::chrono::duration<double>(kFrames / rate);
    auto next = std::chrono::steady_clock::now();
    std::size_t frame = 0;
    for (std::size_t c = 0; c < chunks && !stop; ++c) {
        auto chunk = std::make_shared<std::vector<std::uint8_t>>();
        chunk->reserve(kFrames * channels * 2);
        for (std::size_t i = 0; i < kFrames; ++i, ++frame) {
            const auto sample = static_cast<std::int16_t>(16383 * std::sin(2 * M_PI * 440 * static_cast<double>(frame) / rate));
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                chunk->push_back(static_cast<std::uint8_t>(sample & 0xFF));
                chunk->push_back(static_cast<std::uint8_t>((sample >> 8) & 0xFF));
            }
        }
        server.sendAudioData(std::move(chunk));
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    core::StderrLogger log;
    core::NotificationCenter notifications;
    core::ThreadMainQueue mainQueue;
    auto store = std::make_shared<prefs::PreferencesStore>(log);
    const auto parsed = app::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::cerr << parsed.error << "\n";
        return 2;
    }
    if (auto error = app::applySettings(*store, parsed.options->settings); !error.empty()) {
        std::cerr << error << "\n";
        return 2;
    }
    const bool portGiven = std::find(argv + 1, argv + argc, std::string_view("--port")) != argv + argc;
    auto server = server::SimpleHTTPServer::create(portGiven ? parsed.options->port : 0, core::AudioFormat{48000.0, 1}, {mainQueue, notifications, log}, {.bindAddress = "127.0.0.1"});
    server->setPageResponder(std::make_shared<server::ListenerPage>(store, *server));
    server->start();
    std::cout << "READY " << server->port() << std::endl;

    std::thread tone;
    std::atomic<bool> stopTone{false};
    const auto endTone = [&] {
        stopTone = true;
        if (tone.joinable()) tone.join();
        stopTone = false;
    };
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        std::string rest;
        std::getline(in >> std::ws, rest);
        if (command == "streaming") {
            server->setStreaming(rest == "on");
        } else if (command == "partial" || command == "final") {
            server->broadcastTranscription(
                server::makeTranscriptionMessage(rest, command == "final", server::secondsSince1970(), "en-US"));
        } else if (command == "tone") {
            double rate = 48000, seconds = 1;
            std::uint32_t channels = 1;
            std::size_t frames = core::kCaptureBlockFrames;
            std::istringstream(rest) >> rate >> channels >> seconds >> frames;
            endTone();
            server->updateAudioFormat({rate, channels});
            tone = std::thread([&server, &stopTone, rate, channels, seconds, frames] {
                sendTone(*server, rate, channels, seconds, std::max<std::size_t>(frames, 1), stopTone);
            });
        } else if (command == "count") {
            std::cout << "COUNT " << server->uniqueListenerCount() << std::endl;
        } else if (command == "logo") {
            std::ifstream file(rest, std::ios::binary);
            store->setData(prefs::key::kLogoImageData, std::string(std::istreambuf_iterator<char>(file), {}));
        } else if (command == "quit") {
            break;
        }
        std::cout << "OK " << command << std::endl;
    }
    endTone();
    server->stop();
    return 0;
}
