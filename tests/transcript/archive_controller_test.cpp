// The controller keeps every final caption of each streaming session in the archive: one file
// per session, begun and ended with streaming, the refined text in place of the first.
#include <gtest/gtest.h>

#include "app/view_controller.h"
#include "fakes/capture_logger.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "fakes/fake_recognizer.h"
#include "fakes/virtual_main_queue.h"
#include "prefs/keys.h"
#include "support/temp_dir.h"

using namespace lumeno;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> storedTexts(const fs::path& file) {
    std::string error;
    std::vector<std::string> out;
    if (auto session = transcript::readSession(file, error))
        for (const auto& c : session->captions) out.push_back(c.text);
    return out;
}

TEST(ArchiveControllerTest, EachStreamingSessionKeepsItsFinalCaptions) {
    lumeno::testing::TempDir dir;
    lumeno::testing::VirtualMainQueue queue;
    lumeno::testing::CaptureLogger log;
    core::NotificationCenter notifications;
    core::BackgroundQueue background;
    auto store = std::make_shared<prefs::PreferencesStore>(log);
    prefs::PreferencesManager preferences{store};
    auto corrections = speech::TranscriptionCorrectionManager::create(store, {queue, background, log});
    lumeno::testing::FakeSpeechPlatform platform;
    lumeno::testing::FakeCaptureSource source;
    auto view = std::make_shared<lumeno::testing::FakeMainView>();
    store->setBool(prefs::key::kSpeechRecognitionEnabled, true);
    store->setBool(prefs::key::kIsStreaming, true);

    auto session = speech::SpeechRecognitionManager::create({queue, log, preferences, corrections, platform});
    auto archive = transcript::TranscriptArchive::create({queue, log, nullptr},
                                                         {dir.path(), true, [](auto task) { task(); }});
    app::ViewController::Services services{queue, background, notifications, log, preferences, source, source,
                                           [](auto) { return std::make_shared<lumeno::testing::FakeListenerServer>(); }};
    services.speechFeed = session.get();
    services.speech = session;
    services.transcriptArchive = archive;
    auto controller = app::ViewController::create(services, view);
    controller->viewDidLoad();
    queue.advance(1500ms);  // streaming restored at 1.0 s, speech started at 1.5 s
    auto task = platform.lastTask();
    ASSERT_TRUE(task);

    task->deliver("hello world", false);
    task->deliver("hello world", true);
    ASSERT_TRUE(queue.runUntil([&] { return view->panel.size() == 3; }));  // partial, final, refined final
    const std::string refined = view->panel.back().first;
    ASSERT_NE(refined, "hello world");

    controller->toggleStreaming();  // off: the session ends
    controller->toggleStreaming();  // on: a new one
    task->deliver("second service", true);
    ASSERT_TRUE(queue.runUntil([&] { return view->panel.size() == 5; }));
    controller->cleanup();
    queue.runUntilIdle();

    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir.path())) files.push_back(e.path());
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.stem().string() < b.stem().string(); });
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(storedTexts(files[0]), std::vector<std::string>{refined});
    EXPECT_EQ(storedTexts(files[1]), std::vector<std::string>{view->panel.back().first});
}

}  // namespace
