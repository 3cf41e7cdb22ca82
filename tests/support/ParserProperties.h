#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// What must hold for the two parsers whatever their input, shared by the property tests and the
// fuzzers (which link this file with nothing but the parsers and QtCore). Each check answers
// what is wrong, or nothing.
namespace properties {

// parseDegrees agrees with std::from_chars (an independent reading of the same grammar) on
// every text that from_chars can judge, and a value it reads writes back to the same bits.
std::optional<QString> checkDegrees(const QString &text);

// parseGeolocationBody answers only finite places, only from a JSON object, the same with
// blanks after it, and nothing when that object is nested in another object or an array.
std::optional<QString> checkGeolocationBody(const QByteArray &body);

} // namespace properties
