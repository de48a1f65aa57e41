// LogLines: the texts the run lifecycle writes to Nimbrel's log window.
//
// Pure formatting, apart from write() and writeStepLine(), which hand one line
// to the host.  Used on the host's thread.
//
//   loglines::write("<b>" + loglines::timeOfDay() + "</b>: Experiment started.");
#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

namespace loglines {

// Hands `line` to tLogText as Latin-1; a host without tLogText gets nothing.
void write(const QString& line);

// The addresses a client can reach the service on, for the "Listening on"
// line: every IPv4 address other than 127.0.0.1 and 0.0.0.0, in the given
// order, each as "<b>address</b>, <br>"; just "127.0.0.1" when none is left.
QString addressList(const QList<QHostAddress>& addresses);

// A run's length in seconds, as the post-run reports it: single precision, at
// most six significant digits, no trailing zeros (90 ms gives "0.09").
QString executionSeconds(qint64 elapsedMs);

// The time of day with seconds ("hh:mm:ss"), and with milliseconds.
QString timeOfDay();
QString timeStamp();

// A step's progress line, "<b>hh:mm:ss.zzz</b>: " followed by `text`
// (Latin-1), handed to tLogText from a buffer on the stack.  A step logs just
// before it notifies the clients, so the cost of this line is part of every
// client's wait: no QString, no locale-driven time format.
void writeStepLine(const char* text);

}  // namespace loglines
