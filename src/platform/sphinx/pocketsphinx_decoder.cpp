// The only file that includes the decoder's headers.
#include <err.h>
#include <pocketsphinx.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/sphinx/sphinx_decoder.h"

namespace lumeno::platform {

namespace {

// The library logs through one process-wide callback. Its chatter is dropped; its last error on
// each thread is kept, so a failed load can say why.
thread_local std::string lastDecoderError;

void keepErrors(void*, err_lvl_t level, const char* format, ...) {
    if (level < ERR_ERROR || !format) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    // Drop the 'ERROR: "dict.c", line 275: ' source position: the operator needs the reason.
    if (const auto line = message.find("\", line "); line != std::string::npos) {
        if (const auto colon = message.find(": ", line); colon != std::string::npos) message.erase(0, colon + 2);
    }
    if (!message.empty()) lastDecoderError = message;
}

void routeLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        err_set_logfp(nullptr);  // the settings table is written there directly, past the callback
        err_set_callback(keepErrors, nullptr);
    });
}

class PocketSphinxDecoder final : public SphinxDecoder {
public:
    PocketSphinxDecoder(cmd_ln_t* config, ps_decoder_t* decoder) : config_(config), decoder_(decoder) {}
    ~PocketSphinxDecoder() override {
        ps_free(decoder_);
        cmd_ln_free_r(config_);
    }
    PocketSphinxDecoder(const PocketSphinxDecoder&) = delete;
    PocketSphinxDecoder& operator=(const PocketSphinxDecoder&) = delete;

    bool startUtterance() override { return ps_start_utt(decoder_) >= 0; }
    bool process(const std::int16_t* samples, std::size_t count) override {
        return ps_process_raw(decoder_, samples, count, FALSE, FALSE) >= 0;
    }
    bool inSpeech() override { return ps_get_in_speech(decoder_) != 0; }
    bool endUtterance() override { return ps_end_utt(decoder_) >= 0; }
    std::string hypothesis() override {
        const char* text = ps_get_hyp(decoder_, nullptr);
        return text ? text : "";
    }

private:
    cmd_ln_t* config_;
    ps_decoder_t* decoder_;
};

}  // namespace

DecoderLoad loadPocketSphinx(const ModelFiles& model) {
    routeLibraryLog();
    lastDecoderError.clear();
    const std::string hmm = model.acousticModel.string();
    const std::string lm = model.languageModel.string();
    const std::string dict = model.dictionary.string();
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                                   dict.c_str(), nullptr);
    if (!config) return {nullptr, "the decoder refused its settings"};
    ps_decoder_t* decoder = ps_init(config);
    if (!decoder) {
        cmd_ln_free_r(config);
        return {nullptr, lastDecoderError.empty() ? "the model could not be loaded" : lastDecoderError};
    }
    return {std::make_unique<PocketSphinxDecoder>(config, decoder), {}};
}

}  // namespace lumeno::platform
