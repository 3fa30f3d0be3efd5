#include "tools/fpsim/transmitter.h"

#include <stdio.h>

#include <gtest/gtest.h>

namespace fpsim {
namespace {

using TimePoint = Transmitter::TimePoint;

TimePoint At(double ms) {
    return TimePoint() + std::chrono::duration_cast<Transmitter::Clock::duration>(
                             std::chrono::duration<double, std::milli>(ms));
}

double MsOf(TimePoint time) {
    return std::chrono::duration<double, std::milli>(time - TimePoint()).count();
}

// A byte as it left, at the time it left.
struct Left {
    char byte;
    double ms;
};

constexpr double kStepMs = 0.01;

// Drives the transmitter the way the serve loop does, on a line that takes
// everything, from 0 to `untilMs`, asking at every step what is due.
std::vector<Left> RunLine(Transmitter &transmitter, double untilMs,
                          std::vector<std::string> *answers = nullptr) {
    std::vector<Left> line;
    for (int step = 0; step * kStepMs <= untilMs; ++step) {
        const double ms = step * kStepMs;
        const Transmitter::Piece piece = transmitter.Due(At(ms));
        for (const char c : piece.bytes) {
            EXPECT_EQ(piece.noise, c == kNoiseByte);
            line.push_back({c, ms});
        }
        const auto answer = transmitter.Sent(piece.bytes.size(), At(ms));
        if (answer && answers != nullptr)
            answers->push_back(answer->bytes);
    }
    return line;
}

struct Queued {
    std::string bytes;
    double dueMs;
    int repeatGapMs;
};

struct TimelineCase {
    const char *name;
    double charMs;  // 0: unpaced
    int chatterGapMs;
    std::vector<Queued> answers;
    double untilMs;
    std::vector<Left> expected;
};

// Paced at 1 ms a character, a character leaves once the line has carried it:
// one due at 10 ms leaves at 11 ms.
const TimelineCase kTimelines[] = {
    {"queued answers keep their order, each no earlier than its time",
     1,
     0,
     {{"ABC", 10, -1}, {"DE", 5, -1}, {"F", 30, -1}},
     40,
     {{'A', 11}, {'B', 12}, {'C', 13}, {'D', 14}, {'E', 15}, {'F', 31}}},
    {"unpaced answers leave whole at their time, in order",
     0,
     0,
     {{"AB", 3, -1}, {"CD", 1, -1}},
     10,
     {{'A', 3}, {'B', 3}, {'C', 3}, {'D', 3}}},
    {"a second copy starts its gap after the first has ended",
     1,
     0,
     {{"AB", 0, 5}, {"C", 0, -1}},
     20,
     {{'A', 1}, {'B', 2}, {'A', 8}, {'B', 9}, {'C', 10}}},
    {"unpaced second copy with no gap",
     0,
     0,
     {{"AB", 2, 0}},
     10,
     {{'A', 2}, {'B', 2}, {'A', 2}, {'B', 2}}},
    {"noise every gap on a quiet line", 1, 10, {}, 35, {{'~', 11}, {'~', 21}, {'~', 31}}},
    {"noise ticks inside an answer are lost, the rhythm goes on after it",
     1,
     10,
     {{"ABCDEFGHIJKLMNO", 15, -1}},
     52,
     {{'~', 11},
      {'A', 16},
      {'B', 17},
      {'C', 18},
      {'D', 19},
      {'E', 20},
      {'F', 21},
      {'G', 22},
      {'H', 23},
      {'I', 24},
      {'J', 25},
      {'K', 26},
      {'L', 27},
      {'M', 28},
      {'N', 29},
      {'O', 30},
      {'~', 41},
      {'~', 51}}},
    {"an answer due during a noise byte waits for that byte only",
     1,
     10,
     {{"AB", 10.5, -1}},
     15,
     {{'~', 11}, {'A', 12}, {'B', 13}}},
    {"an answer due with a noise tick goes first",
     1,
     10,
     {{"AB", 10, -1}},
     25,
     {{'A', 11}, {'B', 12}, {'~', 21}}},
};

TEST(Transmitter, Timelines) {
    for (const TimelineCase &test : kTimelines) {
        SCOPED_TRACE(test.name);
        Transmitter transmitter(test.charMs / 1000);
        transmitter.SetChatter(test.chatterGapMs, At(0));
        for (const Queued &answer : test.answers)
            transmitter.Queue(answer.bytes, At(answer.dueMs), "", answer.repeatGapMs);
        const std::vector<Left> line = RunLine(transmitter, test.untilMs);
        EXPECT_EQ(line.size(), test.expected.size());
        if (line.size() != test.expected.size())
            continue;
        for (size_t i = 0; i < line.size(); ++i) {
            EXPECT_EQ(line[i].byte, test.expected[i].byte) << "byte " << i;
            // Each start after a previous end may come one step late.
            EXPECT_NEAR(line[i].ms, test.expected[i].ms, 3.5 * kStepMs) << "byte " << i;
        }
    }
}

TEST(Transmitter, NextDueSaysWhenToComeBack) {
    Transmitter transmitter(0.001);
    EXPECT_EQ(transmitter.NextDue(), TimePoint::max()) << "nothing queued, no noise";
    transmitter.Queue("AB", At(10), "");
    EXPECT_EQ(transmitter.NextDue(), At(10));
    EXPECT_TRUE(transmitter.Due(At(10.5)).bytes.empty());
    EXPECT_NEAR(MsOf(transmitter.NextDue()), 11, 1e-6) << "the first character's end";
    transmitter.SetChatter(3, At(0));
    EXPECT_EQ(transmitter.Due(At(11)).bytes, "A");
}

TEST(Transmitter, APartlyTakenAnswerGoesOnFromWhereTheLineStopped) {
    Transmitter transmitter(0);
    transmitter.Queue("ABC", At(0), "note", 2);
    EXPECT_EQ(transmitter.Due(At(1)).bytes, "ABC");
    EXPECT_FALSE(transmitter.Sent(1, At(1)));
    EXPECT_EQ(transmitter.Due(At(1)).bytes, "BC");
    const auto answer = transmitter.Sent(2, At(4));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, "ABC");
    EXPECT_EQ(answer->note, "note");
    // The second copy counts its gap from the moment the first really ended.
    EXPECT_EQ(transmitter.NextDue(), At(6));
    EXPECT_TRUE(transmitter.Due(At(5.9)).bytes.empty());
    EXPECT_EQ(transmitter.Due(At(6)).bytes, "ABC");
    transmitter.Abandon(At(6));
    EXPECT_EQ(transmitter.NextDue(), TimePoint::max()) << "an abandoned answer is gone";
}

TEST(Transmitter, AnEmptyAnswerIsNotQueued) {
    Transmitter transmitter(0);
    transmitter.Queue("", At(0), "");
    transmitter.Queue("A", At(1), "");
    std::vector<std::string> answers;
    RunLine(transmitter, 2, &answers);
    EXPECT_EQ(answers, std::vector<std::string>{"A"});
}

}  // namespace
}  // namespace fpsim
