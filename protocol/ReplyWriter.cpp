#include "protocol/ReplyWriter.h"

#include <QtEndian>
#include <cstring>
#include <stdexcept>

#include "plugin/Translation.h"
#include "protocol/ProtocolTexts.h"

using framing::countedTextBytes;

ReplyWriter::ReplyWriter(const char* echoName) : echoName(echoName) {}

qint64 ReplyWriter::runLength(qint64 count, int elementBytes) {
  if (count <= 0 || count > kMaxValueBytes / elementBytes) return 0;
  return count;
}

void ReplyWriter::fail(const char* text) {
  failWith(translation::plugin(text).toLatin1());
}

void ReplyWriter::failHostFunctionMissing(const char* functionName) {
  failWith(QByteArray(texts::kHostFunctionPrefix) + functionName + texts::kHostFunctionMissingSuffix);
}

void ReplyWriter::failHostArrayMissing(const char* functionName) {
  failWith(QByteArray(texts::kHostFunctionPrefix) + functionName + texts::kHostArrayMissingSuffix);
}

void ReplyWriter::failWith(const QByteArray& text) {
  const int wrongLength = int(sizeof(texts::kWrongRequest)) - 1;
  block.resize(int(framing::kLengthFieldSize + countedTextBytes(wrongLength) + countedTextBytes(text.size())));
  position = framing::kLengthFieldSize;
  writeString(texts::kWrongRequest, wrongLength);
  writeString(text.constData(), text.size());
  state = State::Failed;
}

void ReplyWriter::makeEmpty() {
  block.resize(framing::kLengthFieldSize);
  position = framing::kLengthFieldSize;
  state = State::Empty;
}

void ReplyWriter::begin(qint64 valueBytes) {
  const int nameLength = int(std::strlen(echoName));
  block.resize(int(framing::kLengthFieldSize + countedTextBytes(nameLength) + valueBytes));
  position = framing::kLengthFieldSize;
  writeString(echoName, nameLength);
  state = State::Body;
}

char* ReplyWriter::claim(qint64 bytes) {
  // begin() sized the block for the whole body.
  if (bytes < 0 || bytes > block.size() - position) wrongSize();
  char* run = block.data() + position;
  position += int(bytes);
  return run;
}

void ReplyWriter::writeInt(qint32 value) { qToBigEndian<qint32>(value, claim(framing::kIntBytes)); }

void ReplyWriter::writeReal(float value) { putReal(value, claim(framing::kRealBytes)); }

void ReplyWriter::writeSample(qint16 value) { qToBigEndian<qint16>(value, claim(framing::kSampleBytes)); }

void ReplyWriter::writeString(const char* text, int length) {
  framing::writeCountedText(claim(countedTextBytes(length)), text, length);
}

QByteArray ReplyWriter::finish() {
  if (state == State::Unset) fail(texts::kNoFunctionCallMatched);
  if (position != block.size()) wrongSize();
  framing::finishBlock(block);
  return block;
}

void ReplyWriter::wrongSize() {
  // A handler wrote more or less than it announced to begin(): a fault of the
  // handler, which a debug build stops at.  Otherwise the request's
  // connection ends (the request loop's handler), rather than a client getting
  // a frame of the wrong length or the block being written past its end.
  Q_ASSERT_X(false, "ReplyWriter", "a handler's reply differs from the size it announced");
  throw std::logic_error("reply size differs from the size announced");
}
