#pragma once

#include <memory>

#include "core/background.h"
#include "fakes/capture_logger.h"
#include "fakes/virtual_main_queue.h"
#include "prefs/keys.h"
#include "prefs/preferences_manager.h"
#include "prefs/preferences_store.h"
#include "speech/transcription_correction_manager.h"

namespace lumeno::testing {

// The correction engine as the application builds it: an in-memory store, the virtual main
// queue and one background thread for punctuation passes. The engine reads its switches when
// made, so a test sets the store first and calls remakeCorrections() (or loadCorrections()).
struct CorrectionFixture {
    std::shared_ptr<speech::TranscriptionCorrectionManager> remakeCorrections() {
        corrections_ = speech::TranscriptionCorrectionManager::create(store_, {queue_, background_, log_});
        return corrections_;
    }

    CaptureLogger log_;
    VirtualMainQueue queue_;
    std::shared_ptr<prefs::PreferencesStore> store_ = std::make_shared<prefs::PreferencesStore>(log_);
    prefs::PreferencesManager preferences_{store_};
    core::BackgroundQueue background_{1};  // after queue_: its tasks post to the queue until joined
    std::shared_ptr<speech::TranscriptionCorrectionManager> corrections_ =
        speech::TranscriptionCorrectionManager::create(store_, {queue_, background_, log_});
};

}  // namespace lumeno::testing
