#pragma once

#include <memory>
#include <string>

#include "prefs/keys.h"
#include "prefs/preferences_store.h"

namespace lumeno::prefs {

// The system's handle on the store, with the readers whose absent-key rule is not the kind's zero.
// One per process, made by the composition root and shared. Thread: main for writes, any for reads.
class PreferencesManager {
public:
    explicit PreferencesManager(std::shared_ptr<PreferencesStore> defaults) : defaults_(std::move(defaults)) {}

    PreferencesStore& defaults() const { return *defaults_; }
    const std::shared_ptr<PreferencesStore>& sharedDefaults() const { return defaults_; }

    // Absent means true; an explicit false is kept.
    bool useBiblicalTerms() const {
        return defaults_->hasKey(key::kTranscriptionUseBiblicalTerms)
                   ? defaults_->boolForKey(key::kTranscriptionUseBiblicalTerms)
                   : true;
    }
    // Every session's final captions are kept in a transcript file unless switched off.
    bool transcriptArchiveEnabled() const {
        return defaults_->hasKey(key::kTranscriptArchiveEnabled) ? defaults_->boolForKey(key::kTranscriptArchiveEnabled)
                                                                 : true;
    }
    std::string listenerTitle() const { return defaults_->stringForKey(key::kCustomTitle).value_or(kDefaultTitle); }
    std::string listenerSubtitle() const {
        return defaults_->stringForKey(key::kCustomSubtitle).value_or(kDefaultSubtitle);
    }
    std::string speechLanguage() const {
        return defaults_->stringForKey(key::kSpeechRecognitionLanguage).value_or(kDefaultSpeechLanguage);
    }

private:
    std::shared_ptr<PreferencesStore> defaults_;
};

}  // namespace lumeno::prefs
