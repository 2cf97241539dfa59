#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/background.h"
#include "core/log.h"
#include "core/main_queue.h"
#include "prefs/preferences_manager.h"
#include "prefs/preferences_store.h"
#include "speech/correction_map.h"

namespace lumeno::speech {

class CorrectionRules;  // speech/correction_rules.h, which brings ICU

// Rewrites recogniser text before anyone sees it: the operator's custom corrections and the
// built-in biblical terms as whole words, then written scripture references; final results can
// also get the punctuation pass. One per process, made by the composition root and shared.
//
// Thread: loadCorrections and the custom-corrections writer on main; applyCorrections on any
// thread (the recogniser's callback thread, the main thread); refinePunctuation from main, its
// work on the background queue and its completion on main.
class TranscriptionCorrectionManager : public std::enable_shared_from_this<TranscriptionCorrectionManager> {
public:
    struct Services {
        core::MainQueue& mainQueue;
        core::BackgroundQueue& background;  // user-initiated work; must outlive pending passes
        core::Logger& log;
    };

    // Builds the correction map from the store at once.
    static std::shared_ptr<TranscriptionCorrectionManager> create(std::shared_ptr<prefs::PreferencesStore> defaults,
                                                                  Services services);
    TranscriptionCorrectionManager(const TranscriptionCorrectionManager&) = delete;
    TranscriptionCorrectionManager& operator=(const TranscriptionCorrectionManager&) = delete;

    bool correctionsEnabled() const;
    bool useBiblicalTerms() const;

    // The stored custom corrections; empty when absent or when the stored bytes do not decode
    // (they stay in the store until the next write).
    CorrectionMap customCorrections() const;
    // Stores the whole map and rebuilds. Callers read, change and write back. Returns false, and
    // stores and rebuilds nothing, when the map cannot be encoded (text that is not UTF-8).
    bool setCustomCorrections(const CorrectionMap& corrections);

    // Rebuilds the effective map from the switches and the stored corrections, then publishes it
    // whole: a pass running meanwhile finishes with the map it started with.
    void loadCorrections();

    // The effective map: lower-cased keys, custom entries over built-in ones; empty when off.
    CorrectionMap correctionMap() const;
    const CorrectionMap& biblicalCorrections() const { return biblicalCorrections_; }
    std::shared_ptr<const CorrectionRules> rules() const;

    // Corrects one partial or final result. Ill-formed UTF-8 is repaired, never passed on.
    std::string applyCorrections(std::string_view text) const;

    // Runs the punctuation pass off the main thread; `completion` is called exactly once on the
    // main thread, with the input itself when it is blank or the manager is gone by then.
    void refinePunctuation(std::string text, std::function<void(std::string)> completion);

private:
    TranscriptionCorrectionManager(std::shared_ptr<prefs::PreferencesStore> defaults, Services services);

    prefs::PreferencesManager defaults_;
    Services services_;
    CorrectionMap biblicalCorrections_;
    // The rules are immutable; the lock only guards swapping the pointer, held for a copy. (The
    // standard library's atomic shared_ptr here releases its inner lock with relaxed order on
    // load, which the thread sanitizer rightly reports as a race.)
    mutable std::mutex rulesMutex_;
    std::shared_ptr<const CorrectionRules> rules_;
};

}  // namespace lumeno::speech
