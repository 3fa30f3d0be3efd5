#include "tools/fpsim/faults.h"

#include <map>

#include <gtest/gtest.h>

#include "fpsim/test_frames.h"

namespace fpsim {
namespace {

const std::string kAnswer = "%01$RD05000A0062\r";

Fault Of(FaultKind kind) {
    Fault fault;
    fault.kind = kind;
    return fault;
}

// True when the frame ends in the block check of everything before it.
bool SealedRight(const std::string &frame) {
    return frame.size() >= 4 && frame.back() == '\r' &&
           frame.substr(frame.size() - 3, 2) == TestBcc(frame.substr(0, frame.size() - 3));
}

TEST(ApplyFault, EveryKindDoesWhatItsNameSays) {
    std::mt19937 rng(7);
    EXPECT_EQ(ApplyFault(Of(FaultKind::kNone), kAnswer, rng).bytes, kAnswer);
    EXPECT_FALSE(ApplyFault(Of(FaultKind::kNoAnswer), kAnswer, rng).send);

    Fault late = Of(FaultKind::kLate);
    late.lateMs = 250;
    const Delivery lateDelivery = ApplyFault(late, kAnswer, rng);
    EXPECT_EQ(lateDelivery.bytes, kAnswer);
    EXPECT_EQ(lateDelivery.extraDelayMs, 250);

    EXPECT_EQ(ApplyFault(Of(FaultKind::kTruncated), kAnswer, rng).bytes, kAnswer.substr(0, 8));
    Fault truncated = Of(FaultKind::kTruncated);
    truncated.keepChars = 3;
    EXPECT_EQ(ApplyFault(truncated, kAnswer, rng).bytes, "%01");

    const std::string badCheck = ApplyFault(Of(FaultKind::kWrongBlockCheck), kAnswer, rng).bytes;
    EXPECT_EQ(badCheck.substr(0, 14), kAnswer.substr(0, 14));
    EXPECT_FALSE(SealedRight(badCheck));

    const std::string otherStation = ApplyFault(Of(FaultKind::kWrongStation), kAnswer, rng).bytes;
    EXPECT_EQ(otherStation.substr(1, 2), "02");
    EXPECT_EQ(otherStation.substr(3, 11), kAnswer.substr(3, 11));
    EXPECT_TRUE(SealedRight(otherStation));

    Fault error = Of(FaultKind::kErrorResponse);
    error.errorCode = 42;
    EXPECT_EQ(ApplyFault(error, kAnswer, rng).bytes, Refusal("01", "42"));
    EXPECT_EQ(ApplyFault(error, Answer("01", "RD0000", '<'), rng).bytes, Refusal("01", "42", '<'))
        << "an extended frame's error answer is extended too";

    Fault stray = Of(FaultKind::kStrayBytes);
    stray.stray = "zz";
    EXPECT_EQ(ApplyFault(stray, kAnswer, rng).bytes, "zz" + kAnswer);

    Fault twice = Of(FaultKind::kDouble);
    twice.repeatGapMs = 7;
    const Delivery doubled = ApplyFault(twice, kAnswer, rng);
    EXPECT_EQ(doubled.bytes, kAnswer);
    EXPECT_EQ(doubled.repeatGapMs, 7);
    EXPECT_EQ(ApplyFault(Of(FaultKind::kLate), kAnswer, rng).repeatGapMs, -1) << "sent once";
    EXPECT_EQ(ApplyFault(Of(FaultKind::kLate), kAnswer, rng).before, "") << "nothing ahead";

    // Ahead of the answer, which still comes whole: the request's echo at
    // once, noise or another station's answer a given time after it.
    const std::string request = "%01#RDD0000700007**\r";
    const Delivery echoed = ApplyFault(Of(FaultKind::kEcho), kAnswer, rng, request);
    EXPECT_EQ(echoed.before, request);
    EXPECT_EQ(echoed.beforeMs, kWithTheRequest);
    EXPECT_EQ(echoed.bytes, kAnswer);
    Fault noise = Of(FaultKind::kNoise);
    noise.noiseMs = 3;
    const Delivery noisy = ApplyFault(noise, kAnswer, rng, request);
    EXPECT_EQ(noisy.before, "%\r");
    EXPECT_EQ(noisy.beforeMs, 3);
    EXPECT_EQ(noisy.bytes, kAnswer);
    const Delivery foreign = ApplyFault(Of(FaultKind::kForeign), kAnswer, rng, request);
    EXPECT_EQ(foreign.before.substr(1, 2), "02");
    EXPECT_EQ(foreign.before.substr(3, 11), kAnswer.substr(3, 11));
    EXPECT_TRUE(SealedRight(foreign.before));
    EXPECT_EQ(foreign.beforeMs, 1);
    EXPECT_EQ(foreign.bytes, kAnswer);
}

TEST(ApplyFault, CorruptionChangesOneCharacterAndNeverTheEnd) {
    std::mt19937 rng(11);
    for (int i = 0; i < 200; ++i) {
        const std::string bytes = ApplyFault(Of(FaultKind::kCorruptChar), kAnswer, rng).bytes;
        ASSERT_EQ(bytes.size(), kAnswer.size());
        int changed = 0;
        for (size_t k = 0; k < bytes.size(); ++k)
            changed += bytes[k] != kAnswer[k];
        EXPECT_EQ(changed, 1);
        EXPECT_EQ(bytes.back(), '\r');
        EXPECT_FALSE(SealedRight(bytes)) << bytes;
    }
}

TEST(ParseFault, NamesAndArguments) {
    Fault fault;
    std::string error;
    ASSERT_TRUE(ParseFault("late:250", fault, &error));
    EXPECT_EQ(fault.kind, FaultKind::kLate);
    EXPECT_EQ(fault.lateMs, 250);
    ASSERT_TRUE(ParseFault("error:40", fault, &error));
    EXPECT_EQ(fault.errorCode, 40);
    ASSERT_TRUE(ParseFault("stray:abc", fault, &error));
    EXPECT_EQ(fault.stray, "abc");
    for (const FaultKind kind : AllFaultKinds()) {
        ASSERT_TRUE(ParseFault(FaultKindName(kind), fault, &error)) << FaultKindName(kind);
        EXPECT_EQ(fault.kind, kind);
    }
    ASSERT_TRUE(ParseFault("double", fault, &error));
    EXPECT_EQ(fault.kind, FaultKind::kDouble);
    EXPECT_EQ(fault.repeatGapMs, 0);
    ASSERT_TRUE(ParseFault("double:5", fault, &error));
    EXPECT_EQ(fault.repeatGapMs, 5);
    ASSERT_TRUE(ParseFault("error:99", fault, &error));
    EXPECT_EQ(fault.errorCode, 99);
    ASSERT_TRUE(ParseFault("truncated:0", fault, &error));
    EXPECT_EQ(fault.keepChars, 0);
    for (const char *bad : {"bogus", "late:soon", "corrupt:3", "double:x", "double:-5",
                            "double:5ms", "late:99999999999", "late:60001", "late:", "late: 5",
                            "error:100", "truncated:1001", "stray:", "none:1"}) {
        EXPECT_FALSE(ParseFault(bad, fault, &error)) << bad;
    }
}

TEST(FaultSchedule, QueuedThenEveryNthThenRandom) {
    FaultSchedule schedule;
    schedule.Once(Of(FaultKind::kNoAnswer));
    schedule.Once(Of(FaultKind::kLate));
    schedule.Every(3, Of(FaultKind::kWrongStation));
    std::vector<FaultKind> seen;
    for (int i = 0; i < 7; ++i)
        seen.push_back(schedule.Next().kind);
    EXPECT_EQ(seen,
              (std::vector<FaultKind>{FaultKind::kNoAnswer, FaultKind::kLate,
                                      FaultKind::kWrongStation, FaultKind::kNone, FaultKind::kNone,
                                      FaultKind::kWrongStation, FaultKind::kNone}));
    schedule.Clear();
    EXPECT_EQ(schedule.Next().kind, FaultKind::kNone);
}

TEST(FaultSchedule, RandomFaultsAreSeededAndNearTheirRate) {
    const auto run = [](uint32_t seed) {
        FaultSchedule schedule;
        std::vector<Fault> choices;
        for (const FaultKind kind : AllFaultKinds())
            choices.push_back(Of(kind));
        schedule.Randomly(0.05, seed, choices);
        std::vector<FaultKind> kinds;
        for (int i = 0; i < 20000; ++i)
            kinds.push_back(schedule.Next().kind);
        return kinds;
    };
    const std::vector<FaultKind> first = run(42);
    EXPECT_EQ(first, run(42));
    EXPECT_NE(first, run(43));
    size_t faulted = 0;
    std::map<FaultKind, int> perKind;
    for (const FaultKind kind : first) {
        if (kind != FaultKind::kNone) {
            ++faulted;
            ++perKind[kind];
        }
    }
    EXPECT_GT(faulted, 800u);
    EXPECT_LT(faulted, 1200u);
    EXPECT_EQ(perKind.size(), AllFaultKinds().size()) << "every kind occurs";
}

}  // namespace
}  // namespace fpsim
