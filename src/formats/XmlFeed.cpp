#include "formats/XmlFeed.h"

namespace formats {

namespace {

constexpr qint64 kChunk = 256 * 1024;

} // namespace

XmlFeed::XmlFeed(QIODevice &device, const ReadControl &control)
    : device_(device)
    , control_(control)
    , size_(device.isSequential() ? 0 : device.size())
{
}

bool XmlFeed::refill()
{
    if (atEnd_)
        return false;
    if (control_.cancelled()) {
        cancelled_ = true;
        return false;
    }
    // No more than the device holds: a large buffer for a small file costs more than the read.
    const qint64 want =
        device_.isSequential() ? kChunk : std::min(kChunk, device_.bytesAvailable());
    const QByteArray chunk = want > 0 ? device_.read(want) : QByteArray();
    if (chunk.isEmpty()) {
        atEnd_ = true;
        return false;
    }
    fed_ += chunk.size();
    xml_.addData(chunk);
    if (control_.progress && size_ >= ReadControl::kProgressFrom)
        control_.progress(static_cast<double>(fed_) / static_cast<double>(size_));
    return true;
}

QXmlStreamReader::TokenType XmlFeed::next()
{
    if (cancelled_ || tooDeep_)
        return QXmlStreamReader::Invalid;
    for (;;) {
        const QXmlStreamReader::TokenType token = xml_.readNext();
        if (token == QXmlStreamReader::Invalid
            && xml_.error() == QXmlStreamReader::PrematureEndOfDocumentError) {
            if (refill())
                continue;
            if (cancelled_)
                return QXmlStreamReader::Invalid;
        }
        if (token == QXmlStreamReader::StartElement && ++depth_ > kMaxDepth) {
            tooDeep_ = true;
            return QXmlStreamReader::Invalid;
        }
        if (token == QXmlStreamReader::EndElement)
            --depth_;
        return token;
    }
}

QString XmlFeed::error() const
{
    if (cancelled_)
        return QStringLiteral("cancelled");
    if (tooDeep_)
        return QStringLiteral("elements nested more than %1 deep").arg(kMaxDepth);
    return xml_.hasError() ? xml_.errorString() : QString();
}

} // namespace formats
