#include "protocol/ReplyWriter.h"

#include <QtEndian>
#include <cstring>

#include "channels/Framing.h"
#include "plugin/Translation.h"
#include "protocol/ProtocolTexts.h"

namespace {
constexpr int kCountSize = 4;
}

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
  block.resize(framing::kLengthFieldSize + 2 * kCountSize + wrongLength + 1 + text.size() + 1);
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
  block.resize(int(framing::kLengthFieldSize + kCountSize + nameLength + 1 + valueBytes));
  position = framing::kLengthFieldSize;
  writeString(echoName, nameLength);
  state = State::Body;
}

char* ReplyWriter::claim(qint64 bytes) {
  // begin() sized the block; growing here only covers a handler that wrote
  // more than it announced.
  if (position + bytes > block.size()) block.resize(int(position + bytes));
  char* run = block.data() + position;
  position += int(bytes);
  return run;
}

void ReplyWriter::writeInt(qint32 value) { qToBigEndian<qint32>(value, claim(4)); }

void ReplyWriter::writeReal(float value) { putReal(value, claim(4)); }

void ReplyWriter::writeSample(qint16 value) { qToBigEndian<qint16>(value, claim(2)); }

void ReplyWriter::writeString(const char* text, int length) {
  // As QDataStream writes a const char*: the count includes the closing NUL.
  qToBigEndian<quint32>(quint32(length + 1), claim(kCountSize));
  char* bytes = claim(length + 1);
  std::memcpy(bytes, text, size_t(length));
  bytes[length] = '\0';
}

QByteArray ReplyWriter::finish() {
  if (state == State::Unset) fail(texts::kNoFunctionCallMatched);
  block.resize(position);
  framing::finishBlock(block);
  return block;
}
