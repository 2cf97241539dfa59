// The full correction pass on a partial result, as the recogniser's thread runs it: 96 built-in
// terms and 20 custom corrections, then the scripture formatter. Measured once compiling every
// pattern on every pass and once with the patterns compiled when the map is built; also the
// punctuation pass that final results get. Exits 1 when a target is missed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/background.h"
#include "core/log.h"
#include "core/thread_main_queue.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"
#include "speech/correction_rules.h"
#include "speech/icu_text.h"
#include "speech/punctuation.h"
#include "speech/scripture_formatter.h"
#include "speech/transcription_correction_manager.h"

using namespace lumeno;

namespace {

constexpr double kTargetSpeedup = 10.0;
constexpr double kTargetCachedMicros = 200.0;

// 25 words, as a partial result reads in a service.
constexpr const char* kPartialResult =
    "brothers and sisters turn with me to first corinthians thirteen four where paul tells the church that "
    "love is patient and god is kind amen";

const speech::CorrectionMap kCustom = {
    {"pastor jon", "Pastor Jon"}, {"gods word", "God's Word"},     {"holy ghost", "Holy Ghost"},
    {"the lords supper", "the Lord's Supper"},                      {"jerusalem", "Jerusalem"},
    {"nazareth", "Nazareth"},     {"bethlehem", "Bethlehem"},       {"galilee", "Galilee"},
    {"israel", "Israel"},         {"pharisees", "Pharisees"},       {"zion", "Zion"},
    {"calvary", "Calvary"},       {"easter", "Easter"},             {"pentecost", "Pentecost"},
    {"christmas", "Christmas"},   {"st marys", "St Mary's"},        {"youth group", "Youth Group"},
    {"bible study", "Bible Study"}, {"worship team", "Worship Team"}, {"mary", "Mary"},
};

double medianMicros(int runs, const std::function<void()>& pass) {
    for (int i = 0; i < std::max(3, runs / 20); ++i) pass();  // warm caches and lazy ICU data
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        pass();
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[static_cast<std::size_t>(runs / 2)];
}

}  // namespace

int main() {
    core::NullLogger log;
    core::ThreadMainQueue mainQueue;
    core::BackgroundQueue background(1);
    auto store = std::make_shared<prefs::PreferencesStore>(log);
    store->setBool(prefs::key::kTranscriptionCorrectionsEnabled, true);
    auto manager = speech::TranscriptionCorrectionManager::create(store, {mainQueue, background, log});
    manager->setCustomCorrections(kCustom);
    const auto rules = manager->rules();

    // The pass as the engine runs it, with each pattern compiled on the spot.
    auto compilingEachPass = [&](std::string_view text) {
        if (!manager->correctionsEnabled()) return std::string(text);
        icu::UnicodeString corrected = speech::toUnicode(text);
        std::vector<speech::AppliedCorrection> applied;
        rules->applyCompilingEachPass(corrected, applied);
        speech::formatScriptureReferences(corrected);
        std::string line = "📝 Applied corrections: ";
        for (const auto& pair : applied) line += pair.matched + " → " + pair.replacement + ", ";
        log.line(line);
        return speech::toUtf8(corrected);
    };

    const std::string cached = manager->applyCorrections(kPartialResult);
    if (cached != compilingEachPass(kPartialResult)) {
        std::fprintf(stderr, "the two passes disagree\n");
        return 1;
    }

    std::string sink;
    const double naive = medianMicros(300, [&] { sink = compilingEachPass(kPartialResult); });
    const double fast = medianMicros(3000, [&] { sink = manager->applyCorrections(kPartialResult); });
    const double punctuation = medianMicros(3000, [&] { sink = speech::refineSentence(cached); });
    const double speedup = naive / fast;

    std::printf("corrections: %zu entries (%zu built-in + %zu custom) on a 25-word partial result\n",
                rules->map().size(), manager->biblicalCorrections().size(), kCustom.size());
    std::printf("corrected: %s\n", cached.c_str());
    std::printf("punctuation median_us=%.1f\n", punctuation);
    std::printf("corrections naive_us=%.1f cached_us=%.1f speedup=%.1f\n", naive, fast, speedup);

    if (speedup < kTargetSpeedup || fast > kTargetCachedMicros) {
        std::fprintf(stderr, "target missed: speedup >= %.0f and cached_us < %.0f required\n", kTargetSpeedup,
                     kTargetCachedMicros);
        return 1;
    }
    return 0;
}
