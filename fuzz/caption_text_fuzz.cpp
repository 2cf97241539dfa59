// Any text through the caption pipeline (the operator's corrections, the built-in terms, the
// reference formatter and the punctuation pass): the output is valid UTF-8 and one caption
// stays caption-sized. The input's first line, split at "=" and ";", gives custom corrections.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/background.h"
#include "core/log.h"
#include "core/thread_main_queue.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"
#include "speech/icu_text.h"
#include "speech/punctuation.h"
#include "speech/transcription_correction_manager.h"

using namespace lumeno;

namespace {

struct Pipeline {
    core::NullLogger log;
    core::ThreadMainQueue mainQueue;
    core::BackgroundQueue background;
    std::shared_ptr<prefs::PreferencesStore> builtInStore = std::make_shared<prefs::PreferencesStore>(log);
    std::shared_ptr<prefs::PreferencesStore> customStore = std::make_shared<prefs::PreferencesStore>(log);
    std::shared_ptr<speech::TranscriptionCorrectionManager> builtIn, custom;

    Pipeline() {
        builtInStore->setBool(prefs::key::kTranscriptionCorrectionsEnabled, true);
        builtIn = speech::TranscriptionCorrectionManager::create(builtInStore, {mainQueue, background, log});
        customStore->setBool(prefs::key::kTranscriptionCorrectionsEnabled, true);
        customStore->setBool(prefs::key::kTranscriptionUseBiblicalTerms, false);
        custom = speech::TranscriptionCorrectionManager::create(customStore, {mainQueue, background, log});
    }
};

void check(std::string_view input, const std::string& output) {
    if (speech::sanitizeUtf8(output) != output) __builtin_trap();
    if (output.size() > 2 * input.size() + 4096 + 64) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Pipeline pipeline;
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = all.find('\n');
    const std::string_view rules = lineEnd == std::string_view::npos ? std::string_view() : all.substr(0, lineEnd);
    const std::string_view text = lineEnd == std::string_view::npos ? all : all.substr(lineEnd + 1);

    speech::CorrectionMap map;
    for (std::size_t at = 0; at < rules.size() && map.size() < 8;) {
        std::size_t end = rules.find(';', at);
        if (end == std::string_view::npos) end = rules.size();
        const std::string_view entry = rules.substr(at, end - at);
        if (const std::size_t eq = entry.find('='); eq != std::string_view::npos)
            map[std::string(entry.substr(0, eq))] = std::string(entry.substr(eq + 1));
        at = end + 1;
    }
    if (!map.empty()) pipeline.custom->setCustomCorrections(map);  // refused when not UTF-8

    const std::string corrected = pipeline.builtIn->applyCorrections(text);
    check(text, corrected);
    check(text, pipeline.custom->applyCorrections(text));
    const std::string refined = speech::refineSentence(corrected);
    if (speech::sanitizeUtf8(refined) != refined) __builtin_trap();
    return 0;
}
