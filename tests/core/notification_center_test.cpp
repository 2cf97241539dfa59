#include <gtest/gtest.h>

#include "core/notification_center.h"

using lumeno::core::Notification;
using lumeno::core::NotificationCenter;

TEST(NotificationCenterTest, DeliversOnlyToObserversOfTheName) {
    NotificationCenter center;
    int counts = 0, others = 0;
    center.addObserver("listenerCountChanged", [&](const Notification&) { ++counts; });
    center.addObserver("MIDIDevicesChanged", [&](const Notification&) { ++others; });
    center.post("listenerCountChanged", {{"count", std::int64_t{3}}});
    EXPECT_EQ(counts, 1);
    EXPECT_EQ(others, 0);
}

TEST(NotificationCenterTest, UserInfoValuesKeepTheirType) {
    NotificationCenter center;
    std::optional<std::int64_t> asInteger;
    std::optional<std::string> asText;
    center.addObserver("listenerCountChanged", [&](const Notification& n) {
        asInteger = n.get<std::int64_t>("count");
        asText = n.get<std::string>("count");
    });
    center.post("listenerCountChanged", {{"count", std::string("3")}});
    EXPECT_FALSE(asInteger.has_value()) << "a count sent as text must not read as an integer";
    EXPECT_EQ(asText, "3");

    center.post("listenerCountChanged", {{"count", std::int64_t{3}}});
    EXPECT_EQ(asInteger, 3);
    EXPECT_FALSE(asText.has_value());

    center.post("listenerCountChanged", {});
    EXPECT_FALSE(asInteger.has_value());
}

TEST(NotificationCenterTest, RemovedObserverIsNotCalledAndMayRemoveItselfWhileHandling) {
    NotificationCenter center;
    int calls = 0;
    lumeno::core::ObserverToken token = 0;
    token = center.addObserver("x", [&](const Notification&) {
        ++calls;
        center.removeObserver(token);
    });
    center.post("x");
    center.post("x");
    EXPECT_EQ(calls, 1);
}
