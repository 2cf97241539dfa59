#include "server/encoded_stream.h"

#include <pthread.h>
#include <samplerate.h>

#include <cctype>
#include <cmath>
#include <system_error>

namespace lumeno::server {

std::unique_ptr<MonoResampler> MonoResampler::create(std::string& error) {
    int srcError = 0;
    SRC_STATE* state = src_new(SRC_SINC_FASTEST, 1, &srcError);
    if (!state) {
        error = src_strerror(srcError);
        return nullptr;
    }
    return std::unique_ptr<MonoResampler>(new MonoResampler(state));
}

MonoResampler::~MonoResampler() { src_delete(resampler_); }

void MonoResampler::append(const core::Bytes& chunk, core::AudioFormat format, std::vector<float>& out) {
    const std::uint32_t channels = format.channelCount;
    if (channels != 1 && channels != 2) return;
    if (!(format.sampleRate >= 8000.0 && format.sampleRate <= 384000.0)) return;
    const std::size_t frames = chunk.size() / (2 * channels);
    if (frames == 0) return;

    // The average of the channels: a stereo desk feed folds down whole.
    mono_.resize(frames);
    const std::uint8_t* bytes = chunk.data();
    for (std::size_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        for (std::uint32_t c = 0; c < channels; ++c) {
            const std::uint8_t* sample = bytes + 2 * (f * channels + c);
            sum += static_cast<float>(static_cast<std::int16_t>(sample[0] | sample[1] << 8));
        }
        mono_[f] = sum / (32768.0f * static_cast<float>(channels));
    }
    if (format.sampleRate == kEncodedSampleRate) {
        inputRate_ = format.sampleRate;
        out.insert(out.end(), mono_.begin(), mono_.end());
        return;
    }
    if (format.sampleRate != inputRate_) {
        // A new capture format: the filter's history belongs to the old rate.
        src_reset(resampler_);
        inputRate_ = format.sampleRate;
    }
    const double ratio = kEncodedSampleRate / format.sampleRate;
    resampled_.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio)) + 16);
    SRC_DATA data{};
    data.data_in = mono_.data();
    data.input_frames = static_cast<long>(frames);
    data.data_out = resampled_.data();
    data.output_frames = static_cast<long>(resampled_.size());
    data.src_ratio = ratio;
    if (src_process(resampler_, &data) != 0) {
        src_reset(resampler_);
        return;
    }
    out.insert(out.end(), resampled_.begin(), resampled_.begin() + data.output_frames_gen);
}

void MonoResampler::restart() {
    src_reset(resampler_);
    inputRate_ = 0.0;
}

EncodedStream::EncodedStream(Codec codec, core::Logger& log, FormatSource format, Sink sink)
    : codec_(std::move(codec)), log_(log), format_(std::move(format)), sink_(std::move(sink)) {}

EncodedStream::~EncodedStream() {
    if (thread_.joinable()) {
        stopRequested_.store(true);
        wake_.fetch_add(1, std::memory_order_release);
        wake_.notify_all();
        thread_.join();
    }
}

bool EncodedStream::start() {
    if (running()) return true;
    std::string error;
    auto encoder = codec_.makeEncoder(error);
    auto failed = [&](const std::string& why) {
        if (!failureLogged_)
            log_.print("❌ ", codec_.name, " encoder failed to start (", why, "); ", codec_.whenUnavailable);
        failureLogged_ = true;
        headers_.reset();
        return false;
    };
    if (!encoder) return failed(error);
    discardQueued();
    dropped_.store(0);
    stopRequested_.store(false);
    headers_ = encoder->headerBytes();
    ++generation_;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread(&EncodedStream::run, this, std::move(encoder), generation_);
    } catch (const std::system_error& e) {
        running_.store(false);
        return failed(e.what());
    }
    failureLogged_ = false;
    log_.print(codec_.name, " encoder started at ", codec_.bitrate / 1000, " kbit/s");
    return true;
}

void EncodedStream::stop() {
    if (!thread_.joinable()) return;
    running_.store(false, std::memory_order_release);
    stopRequested_.store(true);
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_all();
    thread_.join();
    discardQueued();
    headers_.reset();
    log_.print(codec_.name, " encoder stopped");
}

void EncodedStream::push(const core::SharedBytes& chunk) {
    if (!running_.load(std::memory_order_acquire)) return;
    const std::uint32_t write = writeIndex_.load(std::memory_order_relaxed);
    if (write - readIndex_.load(std::memory_order_acquire) >= kRingSize) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // The consumer left this slot empty, so the assignment frees nothing on this thread.
    ring_[write % kRingSize] = chunk;
    writeIndex_.store(write + 1, std::memory_order_release);
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_one();
}

void EncodedStream::discardQueued() {
    std::uint32_t read = readIndex_.load(std::memory_order_relaxed);
    const std::uint32_t write = writeIndex_.load(std::memory_order_acquire);
    for (; read != write; ++read) ring_[read % kRingSize].reset();
    readIndex_.store(read, std::memory_order_release);
}

void EncodedStream::run(std::unique_ptr<StreamEncoder> encoder, std::uint64_t generation) {
    std::string threadName;
    for (char c : codec_.name) threadName += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    threadName = (threadName + ".encoder").substr(0, 15);
    pthread_setname_np(pthread_self(), threadName.c_str());
    core::Bytes encoded;
    bool dropLogged = false;
    std::uint32_t inputEpoch = inputEpoch_.load(std::memory_order_acquire);
    for (;;) {
        const std::uint32_t seen = wake_.load(std::memory_order_acquire);
        std::uint32_t read = readIndex_.load(std::memory_order_relaxed);
        while (read != writeIndex_.load(std::memory_order_acquire)) {
            core::SharedBytes chunk = std::move(ring_[read % kRingSize]);
            readIndex_.store(++read, std::memory_order_release);
            if (!chunk) continue;
            if (const auto epoch = inputEpoch_.load(std::memory_order_acquire); epoch != inputEpoch) {
                inputEpoch = epoch;
                encoder->restartInput();
            }
            const core::AudioFormat format = format_().value_or(core::AudioFormat{44100.0, 1});
            encoded.clear();
            encoder->encode(*chunk, format, encoded);
            // What one capture buffer completes leaves together: it was all ready at the same moment.
            if (!encoded.empty()) sink_(generation, std::make_shared<const core::Bytes>(encoded));
        }
        if (!dropLogged && dropped_.load(std::memory_order_relaxed) > 0) {
            log_.print("❌ ", codec_.name, " encoder fell behind the capture; dropped ", dropped_.load(), " buffers");
            dropLogged = true;
        }
        if (stopRequested_.load()) return;
        wake_.wait(seen, std::memory_order_acquire);
    }
}

}  // namespace lumeno::server
