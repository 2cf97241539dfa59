#pragma once

#include <algorithm>
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
    // The compressed stream's bitrate in bit/s, from the setting in kbit/s: 32 when absent or
    // not a number, otherwise held to what Opus can make of mono speech (6 to 256 kbit/s).
    int opusBitrate() const {
        const double kbits = defaults_->doubleForKey(key::kOpusBitrate);
        if (!(kbits > 0.0)) return 32000;
        return static_cast<int>(std::clamp(kbits, 6.0, 256.0) * 1000.0);
    }
    // The MP3 stream's bitrate in bit/s, from the setting in kbit/s: 48 when absent or not a
    // number, otherwise held to what an MPEG-1 stream can carry (32 to 320 kbit/s).
    int mp3Bitrate() const {
        const double kbits = defaults_->doubleForKey(key::kMp3Bitrate);
        if (!(kbits > 0.0)) return 48000;
        return static_cast<int>(std::clamp(kbits, 32.0, 320.0) * 1000.0);
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
