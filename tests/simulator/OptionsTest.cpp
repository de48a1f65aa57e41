#include <gtest/gtest.h>

#include <vector>

#include "simulator/Options.h"

namespace {

ParseResult parse(std::vector<const char*> args, SimOptions& options, std::string& error) {
  args.insert(args.begin(), "nimbrel-sim");
  return parseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

}  // namespace

TEST(Options, DefaultsGiveAQuickFriendlySyntheticRun) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(parse({}, o, error), ParseResult::Run);
  EXPECT_EQ(o.runs, 1);
  EXPECT_EQ(o.volumes, 200);
  EXPECT_EQ(o.trMs, 2000);
  EXPECT_EQ(o.port, -1);
  EXPECT_EQ(o.dims.x, 64);
  EXPECT_EQ(o.dims.y, 64);
  EXPECT_EQ(o.dims.z, 30);
  EXPECT_EQ(o.versionMajor, 3);
  EXPECT_EQ(o.versionMinor, 1);
  EXPECT_EQ(o.versionSubversion, 0);
  EXPECT_EQ(o.classes, 0);
  EXPECT_TRUE(o.nifti.empty());
}

TEST(Options, ReadsEveryKindOfValue) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(parse({"--runs",      "2",         "--volumes", "10",     "--tr-ms", "100", "--port",
                   "6000",        "--version", "3.0",       "--dims", "8",       "9",   "10",
                   "--roi-box",   "0",         "1",         "2",      "3",       "4",   "5",
                   "--roi-mask",  "m.nii",     "--nifti",   "f.nii",  "--seed",  "42",  "--raw-log",
                   "--linger-ms", "500",       "--noise",   "2.5"},
                  o, error),
            ParseResult::Run)
      << error;
  EXPECT_EQ(o.runs, 2);
  EXPECT_EQ(o.volumes, 10);
  EXPECT_TRUE(o.volumesGiven);
  EXPECT_EQ(o.trMs, 100);
  EXPECT_TRUE(o.trGiven);
  EXPECT_EQ(o.port, 6000);
  EXPECT_EQ(o.versionMajor, 3);
  EXPECT_EQ(o.versionMinor, 0);
  EXPECT_EQ(o.versionSubversion, 0);
  EXPECT_EQ(o.dims.x * 100 + o.dims.y * 10 + o.dims.z, 8 * 100 + 9 * 10 + 10);
  ASSERT_EQ(o.roiBoxes.size(), 1u);
  EXPECT_EQ(o.roiBoxes[0][5], 5);
  ASSERT_EQ(o.roiMasks.size(), 1u);
  EXPECT_EQ(o.nifti, "f.nii");
  EXPECT_EQ(o.seed, 42u);
  EXPECT_TRUE(o.rawLog);
  EXPECT_EQ(o.lingerMs, 500);
  EXPECT_DOUBLE_EQ(o.noise, 2.5);
}

TEST(Options, ReadsTheTriggerAndStartOptions) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(parse({"--trigger-tty",
                   "/tmp/t",
                   "--trigger-byte",
                   "t",
                   "--trigger-udp",
                   "5000",
                   "--processing-delay-ms",
                   "120",
                   "--start-on",
                   "trigger-ack",
                   "--bids",
                   "d",
                   "--subject",
                   "01",
                   "--session",
                   "a",
                   "--task",
                   "nf",
                   "--run",
                   "2"},
                  o, error),
            ParseResult::Run)
      << error;
  EXPECT_EQ(o.triggerTty, "/tmp/t");
  EXPECT_EQ(o.triggerByte, 't');
  EXPECT_EQ(o.triggerUdp, 5000);
  EXPECT_EQ(o.processingDelayMs, 120);
  EXPECT_EQ(o.startOn, "trigger-ack");
  EXPECT_EQ(o.subject + o.session + o.task + o.bidsRun, "01anf2");
  SimOptions p;
  ASSERT_EQ(parse({"--start-on", "clients=3", "--dicom", "d", "--series", "4"}, p, error), ParseResult::Run);
  EXPECT_EQ(p.startOn, "clients=3");
  EXPECT_EQ(p.series, 4);
}

TEST(Options, PortCancelAnswersTheCancelValue) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(parse({"--port", "cancel"}, o, error), ParseResult::Run);
  EXPECT_EQ(o.port, 49151);
}

TEST(Options, ClassesBringEnoughTaskConditions) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(parse({"--classes", "3"}, o, error), ParseResult::Run);
  EXPECT_EQ(o.conditions, 2);
  SimOptions p;
  EXPECT_EQ(parse({"--classes", "3", "--conditions", "1"}, p, error), ParseResult::Error);
  EXPECT_NE(error.find("--conditions"), std::string::npos);
}

TEST(Options, RefusesBadInputWithAMessage) {
  const std::vector<std::vector<const char*>> cases = {
      {"--port", "0"},
      {"--port", "65536"},
      {"--port", "x"},
      {"--runs", "0"},
      {"--volumes", "-3"},
      {"--tr-ms", "1.5"},
      {"--version", "3"},
      {"--version", "3.a.0"},
      {"--dims", "8", "8"},
      {"--roi-box", "1", "2"},
      {"--bogus"},
      {"--nifti"},
      {"--classes", "1"},
      {"--dims", "1024", "1024", "1024"},
      {"--start-on", "later"},
      {"--start-on", "clients=0"},
      {"--start-on", "trigger-ack"},  // without a trigger tty
      {"--trigger-byte", "55"},
      {"--trigger-udp", "70000"},
      {"--processing-delay-ms", "-1"},
      {"--subject", "01"},  // without --bids
      {"--series", "3"},    // without --dicom
      {"--nifti", "a.nii", "--parrec", "b.PAR"},
  };
  for (const auto& args : cases) {
    SimOptions o;
    std::string error;
    SCOPED_TRACE(args[0]);
    EXPECT_EQ(parse(args, o, error), ParseResult::Error);
    EXPECT_FALSE(error.empty());
  }
  SimOptions o;
  std::string error;
  EXPECT_EQ(parse({"--help"}, o, error), ParseResult::Help);
}
