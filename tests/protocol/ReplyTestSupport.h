// A fixture for tests of the request executor: a plug-in bound to the
// FakeHost whose requests are executed directly, and the protocol helpers of
// tests/support/Wire.h under the names these tests use.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDataStream>
#include <QList>
#include <QVariant>

#include "plugin/HostFunctions.h"
#include "plugin/TcpIpExport.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RunRecordTestWriter.h"
#include "tests/support/Wire.h"

namespace replytest {

using wire::errorReply;
using wire::framed;
using wire::ReplyReader;
using wire::request;

inline QByteArray fromHex(const char* hex) { return QByteArray::fromHex(hex); }

}  // namespace replytest

// A plug-in bound to a fresh FakeHost; tests shape the host's state and the
// run record, then call executeRequest directly.
class ExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeHost::reset();
    ASSERT_TRUE(plugin.initPlugin());
    saved = hostFunctions;
  }
  void TearDown() override { hostFunctions = saved; }

  QByteArray execute(const char* name, QList<int> arguments = {}) {
    return plugin.executeRequest(replytest::request(name, arguments));
  }
  void setRecord(RunRecord record) { RunRecordTestWriter::write(plugin, std::move(record)); }
  // A run in progress whose last post-step saw `timePoint`.
  void inRun(int timePoint) {
    RunRecord record;
    record.runStartPending = false;
    record.storedTimePoint = timePoint;
    setRecord(record);
  }
  static FakeHostState& host() { return FakeHost::state(); }
  // ROIs of single voxels at (i, 0, 0).
  static void singleVoxelRois(int count) {
    host().rois.clear();
    for (int i = 0; i < count; ++i) host().rois.push_back(FakeRoi{{{i, 0, 0}}, 0.0f, 0.0f, {}, {}});
  }

  TcpIpExport plugin;
  HostFunctions saved;
};
