#include "speech/transcription_correction_manager.h"

#include <nlohmann/json.hpp>

#include "prefs/keys.h"
#include "speech/biblical_terms.h"
#include "speech/correction_rules.h"
#include "speech/icu_text.h"
#include "speech/punctuation.h"
#include "speech/scripture_formatter.h"

namespace lumeno::speech {

using icu::UnicodeString;
using nlohmann::json;

namespace {

std::string lowerKey(const std::string& key) { return toUtf8(lower(toUnicode(key))); }

bool isBlank(const std::string& key) { return trimWhitespace(toUnicode(key)).isEmpty(); }

// However the operator's corrections are written, one caption stays a caption.
std::size_t captionLimit(std::size_t inputBytes) { return 2 * inputBytes + 4096; }

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
void cutUtf8(std::string& text, std::size_t limit) {
    if (text.size() <= limit) return;
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
    text.resize(limit);
}

}  // namespace

std::shared_ptr<TranscriptionCorrectionManager> TranscriptionCorrectionManager::create(
    std::shared_ptr<prefs::PreferencesStore> defaults, Services services) {
    std::shared_ptr<TranscriptionCorrectionManager> manager(
        new TranscriptionCorrectionManager(std::move(defaults), services));
    manager->loadCorrections();
    return manager;
}

TranscriptionCorrectionManager::TranscriptionCorrectionManager(std::shared_ptr<prefs::PreferencesStore> defaults,
                                                               Services services)
    : defaults_(std::move(defaults)), services_(services), rules_(std::make_shared<const CorrectionRules>()) {
    for (const TermCorrection& term : biblicalTermTable()) biblicalCorrections_.emplace(term.spoken, term.written);
}

CorrectionMap TranscriptionCorrectionManager::correctionMap() const { return rules()->map(); }

std::shared_ptr<const CorrectionRules> TranscriptionCorrectionManager::rules() const {
    std::lock_guard lock(rulesMutex_);
    return rules_;
}

bool TranscriptionCorrectionManager::correctionsEnabled() const {
    return defaults_.defaults().boolForKey(prefs::key::kTranscriptionCorrectionsEnabled);
}

bool TranscriptionCorrectionManager::useBiblicalTerms() const { return defaults_.useBiblicalTerms(); }

CorrectionMap TranscriptionCorrectionManager::customCorrections() const {
    const auto bytes = defaults_.defaults().dataForKey(prefs::key::kTranscriptionCustomCorrections);
    if (!bytes) return {};
    const json document = json::parse(*bytes, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return {};
    CorrectionMap corrections;
    for (const auto& [misheard, replacement] : document.items()) {
        if (!replacement.is_string()) return {};
        corrections[misheard] = replacement.get<std::string>();
    }
    return corrections;
}

bool TranscriptionCorrectionManager::setCustomCorrections(const CorrectionMap& corrections) {
    std::string bytes;
    try {
        bytes = json(corrections).dump();
    } catch (const json::exception&) {
        return false;
    }
    defaults_.defaults().setData(prefs::key::kTranscriptionCustomCorrections, std::move(bytes));
    loadCorrections();
    return true;
}

void TranscriptionCorrectionManager::loadCorrections() {
    CorrectionMap map;
    if (correctionsEnabled()) {
        if (useBiblicalTerms()) {
            for (const auto& [misheard, replacement] : biblicalCorrections_) map[lowerKey(misheard)] = replacement;
        }
        // Inserted after the built-in terms, so the operator's entry wins for the same key.
        for (const auto& [misheard, replacement] : customCorrections()) {
            if (!isBlank(misheard)) map[lowerKey(misheard)] = replacement;
        }
    }
    std::shared_ptr<const CorrectionRules> rules = std::make_shared<const CorrectionRules>(std::move(map));
    {
        std::lock_guard lock(rulesMutex_);
        rules_.swap(rules);
    }
    // `rules` now holds the old set, freed here outside the lock unless a pass still uses it.
}

std::string TranscriptionCorrectionManager::applyCorrections(std::string_view text) const {
    if (!correctionsEnabled()) {
        services_.log.print("📝 Text corrections disabled");
        return sanitizeUtf8(text);
    }
    const std::shared_ptr<const CorrectionRules> current = rules();
    if (current->empty()) {
        services_.log.print("📝 No corrections in map (enabled: true, biblical: ", useBiblicalTerms() ? "true" : "false",
                            ", custom count: ", customCorrections().size(), ")");
        return sanitizeUtf8(text);
    }

    UnicodeString corrected = toUnicode(text);
    std::vector<AppliedCorrection> applied;
    current->apply(corrected, applied);
    formatScriptureReferences(corrected);

    if (!applied.empty()) {
        std::string line = "📝 Applied corrections: ";
        for (std::size_t i = 0; i < applied.size(); ++i) {
            if (i > 0) line += ", ";
            line += applied[i].matched + " → " + applied[i].replacement;
        }
        services_.log.line(line);
    }
    std::string result = toUtf8(corrected);
    if (const std::size_t limit = captionLimit(text.size()); result.size() > limit) {
        const std::size_t grown = result.size();
        cutUtf8(result, limit);
        services_.log.print("📝 Corrected caption cut to ", result.size(), " bytes (the corrections made it ", grown, ")");
    }
    return result;
}

void TranscriptionCorrectionManager::refinePunctuation(std::string text, std::function<void(std::string)> completion) {
    text = sanitizeUtf8(text);
    UnicodeString trimmed = trimWhitespace(toUnicode(text));
    core::MainQueue& mainQueue = services_.mainQueue;
    if (trimmed.isEmpty()) {
        mainQueue.async([completion = std::move(completion), text = std::move(text)] { completion(text); });
        return;
    }
    services_.background.submit([weak = weak_from_this(), &mainQueue, trimmed = std::move(trimmed),
                                 text = std::move(text), completion = std::move(completion)]() mutable {
        std::string result = weak.expired() ? std::move(text) : refineSentence(toUtf8(trimmed));
        mainQueue.async([completion = std::move(completion), result = std::move(result)] { completion(result); });
    });
}

}  // namespace lumeno::speech
