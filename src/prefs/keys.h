#pragma once

#include <cstddef>

namespace lumeno::prefs {

// Every persisted key. Absent-key rules: booleans read false, doubles 0.0, strings and data absent;
// "transcriptionUseBiblicalTerms" and "transcriptArchiveEnabled" default to true (see
// PreferencesManager).
namespace key {
inline constexpr const char* kSelectedAudioDevice = "selectedAudioDevice";
inline constexpr const char* kIsStreaming = "isStreaming";
inline constexpr const char* kAutoGainEnabled = "autoGainEnabled";
inline constexpr const char* kSpeechRecognitionEnabled = "speechRecognitionEnabled";
inline constexpr const char* kSpeechRecognitionLanguage = "speechRecognitionLanguage";
inline constexpr const char* kTranscriptPanelShown = "transcriptPanelShown";
inline constexpr const char* kMidiEnabled = "midiEnabled";
inline constexpr const char* kSelectedMIDIDevice = "selectedMIDIDevice";
inline constexpr const char* kMidiStartCommand = "midiStartCommand";
inline constexpr const char* kMidiStopCommand = "midiStopCommand";
inline constexpr const char* kUseCustomLogo = "useCustomLogo";
inline constexpr const char* kLogoImageData = "logoImageData";
inline constexpr const char* kLogoFileExtension = "logoFileExtension";
inline constexpr const char* kLogoTimestamp = "logoTimestamp";
inline constexpr const char* kCustomTitle = "customTitle";
inline constexpr const char* kCustomSubtitle = "customSubtitle";
inline constexpr const char* kTranscriptionCorrectionsEnabled = "transcriptionCorrectionsEnabled";
inline constexpr const char* kTranscriptionUseBiblicalTerms = "transcriptionUseBiblicalTerms";
inline constexpr const char* kTranscriptionCustomCorrections = "transcriptionCustomCorrections";
inline constexpr const char* kTranscriptArchiveEnabled = "transcriptArchiveEnabled";
inline constexpr const char* kOpusBitrate = "opusBitrate";
inline constexpr const char* kMp3Bitrate = "mp3Bitrate";
inline constexpr const char* kSpeechLanguageModel = "speechLanguageModel";  // "church" (absent) or "general"
inline constexpr const char* kSpeechVocabulary = "speechVocabulary";        // JSON list, see speech/vocabulary.h
}  // namespace key

// Payload-less notifications about settings.
inline constexpr const char* kPreferencesDidChange = "preferencesDidChange";
inline constexpr const char* kMidiSettingsChanged = "midiSettingsChanged";

inline constexpr const char* kDefaultTitle = "🎧 Audio Stream";
inline constexpr const char* kDefaultSubtitle = "Assistive Listening Service";
inline constexpr const char* kDefaultSpeechLanguage = "en-US";

}  // namespace lumeno::prefs

namespace lumeno::prefs {

enum class ValueKind { boolean, number, string, data };

struct KeyInfo {
    const char* name;
    ValueKind kind;
    // Text longer than this many characters is cut to it (0: no limit).
    std::size_t maxCharacters = 0;
};

// The listener page's title and subtitle: a heading, not a document. Each page load carries them,
// so an unbounded one would cost every listener and the server's memory.
inline constexpr std::size_t kMaxTitleCharacters = 200;

// The persisted keys with their kinds, for tools that set values by name.
inline constexpr KeyInfo kKeyTable[] = {
    {key::kSelectedAudioDevice, ValueKind::string},
    {key::kIsStreaming, ValueKind::boolean},
    {key::kAutoGainEnabled, ValueKind::boolean},
    {key::kSpeechRecognitionEnabled, ValueKind::boolean},
    {key::kSpeechRecognitionLanguage, ValueKind::string},
    {key::kTranscriptPanelShown, ValueKind::boolean},
    {key::kMidiEnabled, ValueKind::boolean},
    {key::kSelectedMIDIDevice, ValueKind::string},
    {key::kMidiStartCommand, ValueKind::data},
    {key::kMidiStopCommand, ValueKind::data},
    {key::kUseCustomLogo, ValueKind::boolean},
    {key::kLogoImageData, ValueKind::data},
    {key::kLogoFileExtension, ValueKind::string},
    {key::kLogoTimestamp, ValueKind::number},
    {key::kCustomTitle, ValueKind::string, kMaxTitleCharacters},
    {key::kCustomSubtitle, ValueKind::string, kMaxTitleCharacters},
    {key::kTranscriptionCorrectionsEnabled, ValueKind::boolean},
    {key::kTranscriptionUseBiblicalTerms, ValueKind::boolean},
    {key::kTranscriptionCustomCorrections, ValueKind::data},
    {key::kTranscriptArchiveEnabled, ValueKind::boolean},
    {key::kOpusBitrate, ValueKind::number},
    {key::kMp3Bitrate, ValueKind::number},
    {key::kSpeechLanguageModel, ValueKind::string},
    {key::kSpeechVocabulary, ValueKind::string},
};

}  // namespace lumeno::prefs
