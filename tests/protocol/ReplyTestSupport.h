// Helpers for tests of the request protocol: expected replies built with a
// QDataStream of the protocol's settings (an encoder independent of the
// plug-in's direct writer), a decoder for replies, and a fixture whose
// plug-in is bound to the FakeHost.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDataStream>
#include <QList>
#include <QVariant>
#include <functional>

#include "plugin/HostFunctions.h"
#include "plugin/TcpIpExport.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RunRecordTestWriter.h"

namespace replytest {

// A body written by `fill` onto a version-12, single-precision stream, framed.
inline QByteArray framed(const std::function<void(QDataStream&)>& fill) {
  QByteArray body;
  {
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    out.setFloatingPointPrecision(QDataStream::SinglePrecision);
    fill(out);
  }
  QByteArray block;
  QDataStream out(&block, QIODevice::WriteOnly);
  out << qint64(body.size());
  return block + body;
}

inline QByteArray errorReply(const char* text) {
  return framed([text](QDataStream& out) { out << "Wrong request!" << text; });
}

inline QByteArray fromHex(const char* hex) { return QByteArray::fromHex(hex); }

inline QList<QVariant> request(const char* name, QList<int> arguments = {}) {
  QList<QVariant> list{QString::fromLatin1(name)};
  for (int argument : arguments) list << argument;
  return list;
}

// Reads a reply back: the length, then strings, ints and reals in turn.
class ReplyReader {
 public:
  explicit ReplyReader(const QByteArray& reply) : bytes(reply), in(bytes) {
    in.setVersion(QDataStream::Qt_4_6);
    in.setFloatingPointPrecision(QDataStream::SinglePrecision);
    in >> length;
  }
  qint64 length = -1;
  QByteArray text() {
    char* raw = nullptr;
    in >> raw;
    QByteArray result(raw);
    delete[] raw;
    return result;
  }
  qint32 integer() {
    qint32 value = 0;
    in >> value;
    return value;
  }
  float real() {
    float value = 0;
    in >> value;
    return value;
  }
  qint16 sample() {
    qint16 value = 0;
    in >> value;
    return value;
  }
  bool atEnd() const { return in.atEnd() && in.status() == QDataStream::Ok; }
  bool ok() const { return in.status() == QDataStream::Ok; }

 private:
  QByteArray bytes;
  QDataStream in;
};

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
  void setRecord(RunRecord record) { RunRecordAccess::TestWriter::write(plugin, std::move(record)); }
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
