// The sequence step: a drained G-code stream, the end of a jog or probe move
// once the board is idle, and the settle after a full reset.
#include <gtest/gtest.h>

#include "motion_support.h"

namespace vx {
namespace {

using test::CodeNames;
using test::MotionTest;

class SequenceTest : public MotionTest {
 protected:
  // A jog of `axis` (-1: a probe move) waiting for the board to be idle.
  void MoveUnderWay(int axis) {
    HostView v = host().View();
    dev().WaitForJogIdle = 1;
    dev().InMotion = 1;
    dev().JogAxis = axis;
    for (int a = 0; a < 5; ++a) v.SetAxisJogging(a, true);
    v.SetEngineJogging(true);
    v.SetPlannerJogging(true);
    host().SetExternalStill(false);
    host().ClearSync();
  }
};

TEST_F(SequenceTest, ExternalMoveEndsOnlyWhenTheBoardIsIdle) {
  const struct {
    const char* what;
    int axis;
  } cases[] = {{"jog of Z", 2}, {"probe move", -1}};
  for (const auto& c : cases) {
    Make();
    MoveUnderWay(c.axis);
    ctx().BoardIdle = 0;
    for (int i = 0; i < 3; ++i) dev().SequenceStep();
    EXPECT_EQ(dev().WaitForJogIdle, 1) << c.what;
    EXPECT_EQ(dev().InMotion, 1) << c.what;
    EXPECT_TRUE(host().EngineJogging()) << c.what;
    EXPECT_FALSE(host().Sync()) << c.what;

    ctx().BoardIdle = 1;
    dev().SequenceStep();
    EXPECT_EQ(dev().WaitForJogIdle, 0) << c.what;
    EXPECT_EQ(dev().InMotion, 0) << c.what;
    EXPECT_EQ(dev().JogAxis, -1) << c.what;
    EXPECT_FALSE(host().EngineJogging()) << c.what;
    EXPECT_FALSE(host().PlannerJogging()) << c.what;
    for (int a = 0; a < 5; ++a)
      EXPECT_EQ(host().AxisJogging(a), a != c.axis) << c.what << ", axis " << a;
    EXPECT_TRUE(host().ExternalStill()) << c.what;
    EXPECT_TRUE(host().Sync()) << c.what;
  }
}

TEST_F(SequenceTest, DrainedStreamIsReportedWithoutWaitingForIdle) {
  dev().WaitForGcodeIdle = 1;
  dev().InMotion = 1;
  ctx().BoardIdle = 0;
  host().SetExternalStill(false);
  host().ClearSync();
  dev().SequenceStep();
  EXPECT_EQ(dev().WaitForGcodeIdle, 0);
  EXPECT_EQ(dev().InMotion, 0);
  EXPECT_TRUE(host().ExternalStill());
  EXPECT_FALSE(host().Sync());
}

TEST_F(SequenceTest, BothEndingsInOneStep) {
  MoveUnderWay(0);
  dev().WaitForGcodeIdle = 1;
  ctx().BoardIdle = 1;
  dev().SequenceStep();
  EXPECT_EQ(dev().WaitForGcodeIdle, 0);
  EXPECT_EQ(dev().WaitForJogIdle, 0);
  EXPECT_EQ(dev().InMotion, 0);
  EXPECT_FALSE(host().AxisJogging(0));
  EXPECT_TRUE(host().ExternalStill());
  EXPECT_TRUE(host().Sync());
}

TEST_F(SequenceTest, SettleWaitsForTheBoardThenLoadsTheHostPositions) {
  dev().Sequence = SeqSettle;
  dev().InMotion = 1;
  for (int a = 0; a < 5; ++a) host().SetPosition(a, 10 * a + 1);
  ctx().BoardIdle = 0;
  host().ClearSync();
  for (int i = 0; i < 4; ++i) {
    dev().SequenceStep();
    EXPECT_EQ(dev().Sequence, SeqSettle) << "step " << i;
  }
  EXPECT_EQ(CodeNames(board()), "");
  EXPECT_FALSE(host().Sync());

  ctx().BoardIdle = 1;
  dev().SequenceStep();
  EXPECT_EQ(dev().Sequence, SeqIdle);
  EXPECT_EQ(dev().InMotion, 0);
  EXPECT_TRUE(host().Sync());
  EXPECT_TRUE(host().ExternalStill());
  EXPECT_EQ(CodeNames(board()), "SetPositions");
  EXPECT_EQ(m->BoardPositions(), (std::vector<int32_t>{1, 11, 21, 31, 41}));

  // A failed load still ends the settle and tells the host.
  dev().Sequence = SeqSettle;
  host().ClearSync();
  board().FailWrite(1);
  dev().SequenceStep();
  EXPECT_EQ(dev().Sequence, SeqIdle);
  EXPECT_TRUE(host().Sync());
  EXPECT_FALSE(m->LinkUp());
}

TEST_F(SequenceTest, UnknownStatesStayAndDoNothing) {
  for (int32_t state : {6, -1, 1000}) {
    dev().Sequence = state;
    ctx().BoardIdle = 1;
    dev().SequenceStep();
    EXPECT_EQ(dev().Sequence, state);
  }
  EXPECT_EQ(CodeNames(board()), "");
}

}  // namespace
}  // namespace vx
