#include "platform/message_pump.hpp"

#include <gtest/gtest.h>

namespace tarlowen {
namespace {

TEST(MessagePumpTest, CallsInstalledHandlerAndNothingWithoutOne) {
    setMessagePumpHandler({});
    PumpWaitingMessages();  // no handler: nothing happens

    int pumps = 0;
    const auto previous = setMessagePumpHandler([&] { ++pumps; });
    EXPECT_FALSE(previous);
    PumpWaitingMessages();
    PumpWaitingMessages();
    EXPECT_EQ(pumps, 2);

    const auto replaced = setMessagePumpHandler({});
    ASSERT_TRUE(replaced);
    PumpWaitingMessages();
    EXPECT_EQ(pumps, 2);
}

TEST(MessagePumpTest, HandlerMayReplaceItselfWhileRunning) {
    int outer = 0;
    int inner = 0;
    setMessagePumpHandler([&] {
        ++outer;
        setMessagePumpHandler([&] { ++inner; });
    });
    PumpWaitingMessages();
    PumpWaitingMessages();
    EXPECT_EQ(outer, 1);
    EXPECT_EQ(inner, 1);
    setMessagePumpHandler({});
}

TEST(TransferHeartbeatTest, KeepsGoingWithoutHandlerAndAsksTheInstalledOne) {
    setTransferHeartbeatHandler({});
    EXPECT_TRUE(KeepTransferGoing());

    bool closing = false;
    int beats = 0;
    setTransferHeartbeatHandler([&] {
        ++beats;
        return !closing;
    });
    EXPECT_TRUE(KeepTransferGoing());
    closing = true;
    EXPECT_FALSE(KeepTransferGoing());
    EXPECT_EQ(beats, 2);
    setTransferHeartbeatHandler({});
    EXPECT_TRUE(KeepTransferGoing());
}

}  // namespace
}  // namespace tarlowen
