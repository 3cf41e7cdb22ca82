#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// What must hold for the readers of files and web answers whatever they are given, shared by
// the tests and the fuzzers (which link this file with the readers and QtCore alone). Each
// check answers what is wrong, or nothing.
namespace properties {

// A GPX, KML or GeoJSON file reads as a document of real places, or as an error; the GPX written
// from that document reads back with nothing left out and writes again byte for byte the same.
std::optional<QString> checkGeoFile(const QByteArray &bytes);

// A places file gives real places (also from a damaged one), and what is written of them reads
// back whole and the same.
std::optional<QString> checkPlacesFile(const QByteArray &bytes);

// A Nominatim answer gives at most eight real places, each with a camera region of real size.
std::optional<QString> checkSearchAnswer(const QByteArray &body);

// An OSRM answer gives a line of two or more real points, or a reason, never both.
std::optional<QString> checkRouteAnswer(const QByteArray &body);

// go-ios output: the last error it reports is one its lines show as an error on the console.
std::optional<QString> checkGoIosOutput(const QByteArray &output);

} // namespace properties
