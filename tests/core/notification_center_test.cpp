#include <gtest/gtest.h>

#include "core/notification_center.h"

using lumeno::core::Notification;
using lumeno::core::NotificationCenter;

// An observer may remove itself while it handles a post, as a one-shot observer does.
TEST(NotificationCenterTest, DeliversOnlyToObserversOfTheNameAndARemovedOneHearsNoMore) {
    NotificationCenter center;
    int counts = 0, others = 0;
    lumeno::core::ObserverToken token = 0;
    token = center.addObserver("listenerCountChanged", [&](const Notification&) {
        ++counts;
        center.removeObserver(token);
    });
    center.addObserver("MIDIDevicesChanged", [&](const Notification&) { ++others; });
    center.post("listenerCountChanged", {{"count", std::int64_t{3}}});
    center.post("listenerCountChanged");
    EXPECT_EQ(counts, 1);
    EXPECT_EQ(others, 0);
}
