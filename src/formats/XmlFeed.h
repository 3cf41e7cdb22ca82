#pragma once

#include "formats/GeoData.h"

#include <QIODevice>
#include <QXmlStreamReader>

namespace formats {

// QXmlStreamReader fed from a device in chunks: what a reader needs to walk a large file as a
// flat stream of tokens, with a cancel and progress between chunks, and a limit on how deep
// elements nest (a reader keeps one entry per open element, so a hostile file cannot make it
// grow without bound).
class XmlFeed
{
public:
    static constexpr int kMaxDepth = 256;

    XmlFeed(QIODevice &device, const ReadControl &control);

    // The next token; Invalid at the end of a broken file, on a cancel or past the depth limit,
    // with error() saying which.
    QXmlStreamReader::TokenType next();
    QXmlStreamReader &xml() { return xml_; }
    // How deep the current element is: 1 for the root.
    int depth() const { return depth_; }
    // Empty while all is well.
    QString error() const;
    bool cancelled() const { return cancelled_; }
    QString line() const { return QStringLiteral("line %1").arg(xml_.lineNumber()); }

private:
    bool refill();

    QIODevice &device_;
    const ReadControl &control_;
    QXmlStreamReader xml_;
    qint64 size_;
    qint64 fed_ = 0;
    int depth_ = 0;
    bool atEnd_ = false;
    bool cancelled_ = false;
    bool tooDeep_ = false;
};

} // namespace formats
