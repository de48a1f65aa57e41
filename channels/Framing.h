// The framing of every TCP message, in both directions: a signed 64-bit
// big-endian body length, then the body, a QDataStream of version 12 with
// single floating-point precision (every real travels as a 4-byte IEEE single).
#pragma once

#include <QByteArray>
#include <QDataStream>

namespace framing {

// Bytes of the length field in front of every body.
inline constexpr int kLengthFieldSize = 8;
inline constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_4_6;  // version 12

// Gives `stream` the settings every stream of the protocol uses.  Called on
// every stream, reading or writing, before its first element.
void setUpStream(QDataStream& stream);

// Completes a block that was written with a placeholder length of 0 in front:
// writes the block's size minus the length field into its first 8 bytes.
void finishBlock(QByteArray& block);

}  // namespace framing
