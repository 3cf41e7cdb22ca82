#include "search/CoordinateText.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>
#include <cmath>
#include <vector>

namespace search {
namespace {

using Kind = CoordinateText::Kind;

CoordinateText found(CLLocationCoordinate2D coordinate)
{
    return {Kind::Coordinate, coordinate, {}};
}

CoordinateText invalid(const QString &message = kInvalidCoordinatesMessage)
{
    return {Kind::Invalid, {}, message};
}

bool inRange(double latitude, double longitude)
{
    return std::fabs(latitude) <= 90.0 && std::fabs(longitude) <= 180.0;
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9'; // ASCII only: other scripts' digits are no C-locale number
}

bool isMinus(QChar c)
{
    return c == u'-' || c == u'\u2212';
}

bool isSign(QChar c)
{
    return c == u'+' || isMinus(c);
}

// A C-locale decimal: an optional sign, digits with an optional point. No exponent, hex or
// words: nobody writes a coordinate that way, and a stray "e" is more likely a hemisphere.
std::optional<double> readDecimal(QStringView text)
{
    QString plain;
    qsizetype digits = 0;
    bool point = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (i == 0 && isSign(c)) {
            plain += isMinus(c) ? u'-' : u'+';
            continue;
        }
        if (isDigit(c))
            ++digits;
        else if (c == u'.' && !point)
            point = true;
        else
            return std::nullopt;
        plain += c;
    }
    if (digits == 0)
        return std::nullopt;
    return coordinates::parseDegrees(plain);
}

// "lat<separator>lon", blanks allowed around either number.
std::optional<CLLocationCoordinate2D> readPair(QStringView text, QChar separator)
{
    const qsizetype at = text.indexOf(separator);
    if (at < 0 || text.indexOf(separator, at + 1) >= 0)
        return std::nullopt;
    const std::optional<double> latitude = readDecimal(text.left(at).trimmed());
    const std::optional<double> longitude = readDecimal(text.mid(at + 1).trimmed());
    if (!latitude || !longitude || !inRange(*latitude, *longitude))
        return std::nullopt;
    return CLLocationCoordinate2D {*latitude, *longitude};
}

// geo:lat,lon[,alt][;params][?query] (RFC 5870); an Android-style q=lat,lon(label) wins.
CoordinateText readGeoUri(QStringView rest)
{
    QStringView path = rest;
    if (const qsizetype query = rest.indexOf(u'?'); query >= 0) {
        path = rest.left(query);
        const QUrlQuery items(rest.mid(query + 1).toString());
        if (items.hasQueryItem(QStringLiteral("q"))) {
            QString value = items.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded);
            value = value.left(value.indexOf(u'(')); // the label, if any
            const std::optional<CLLocationCoordinate2D> point = readPair(value, u',');
            return point ? found(*point) : invalid();
        }
    }
    path = path.left(path.indexOf(u';'));
    const QList<QStringView> parts = path.split(u',');
    if ((parts.size() == 3 && !readDecimal(parts[2])) || parts.size() < 2 || parts.size() > 3)
        return invalid();
    const std::optional<CLLocationCoordinate2D> point =
        readPair(path.left(parts[0].size() + 1 + parts[1].size()), u',');
    return point ? found(*point) : invalid();
}

std::optional<CLLocationCoordinate2D> pairFromMatch(const QRegularExpressionMatch &match)
{
    if (!match.hasMatch())
        return std::nullopt;
    const std::optional<double> latitude = readDecimal(match.capturedView(1));
    const std::optional<double> longitude = readDecimal(match.capturedView(2));
    if (!latitude || !longitude || !inRange(*latitude, *longitude))
        return std::nullopt;
    return CLLocationCoordinate2D {*latitude, *longitude};
}

// Web map links: the place's own point where the link carries one, else the point the map
// was looking at.
CoordinateText readLink(const QString &text)
{
    static const QRegularExpression placeData(QStringLiteral(R"(!3d(-?[0-9.]+)!4d(-?[0-9.]+))"));
    static const QRegularExpression atPair(QStringLiteral(R"(@(-?[0-9.]+),(-?[0-9.]+))"));
    static const QRegularExpression osmFragment(
        QStringLiteral(R"(^map=[0-9.]+/(-?[0-9.]+)/(-?[0-9.]+))"));

    const QUrl url(text, QUrl::TolerantMode);
    if (!url.isValid())
        return invalid(kNoCoordinatesInLink);
    const QString path = url.path(QUrl::FullyDecoded);
    for (const QRegularExpression *pattern : {&placeData, &atPair}) {
        if (const auto point = pairFromMatch(pattern->match(path)))
            return found(*point);
    }
    const QUrlQuery query(url);
    const auto item = [&query](const char *key) {
        return query.queryItemValue(QLatin1StringView(key), QUrl::FullyDecoded);
    };
    for (const char *key : {"q", "ll", "query", "center"}) {
        if (const auto point = readPair(item(key), u','))
            return found(*point);
    }
    if (const auto point = readPair(item("cp"), u'~'))
        return found(*point);
    if (const auto point = readPair(QString(item("mlat") + u',' + item("mlon")), u','))
        return found(*point);
    if (const auto point = pairFromMatch(osmFragment.match(url.fragment(QUrl::FullyDecoded))))
        return found(*point);
    return invalid(kNoCoordinatesInLink);
}

struct Token
{
    enum class Type { Number, Unit, Hemisphere, Separator };
    Type type = Type::Number;
    QString text; // Number: as written
    int unit = 0; // Unit: 0 degrees, 1 minutes, 2 seconds
    QChar letter; // Hemisphere: N, S, E or W; Separator: ',' or ';'
    bool blankBefore = false;
    bool blankAfter = false;
};
using Tokens = std::vector<Token>;

bool isHemisphere(QChar c)
{
    return QStringView(u"NSEWnsew").contains(c);
}

// Whether the text is made of what coordinates are written with: digits, blanks, signs,
// separators, marks, single hemisphere letters and the unit letters d, m and s right after a
// number (a seconds "s" may be followed by its hemisphere). Anything else is a place's name.
bool looksLikeCoordinates(QStringView text)
{
    bool digit = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (isDigit(c)) {
            digit = true;
            continue;
        }
        if (!c.isLetter()) {
            if (!c.isSpace() && !QStringView(u".+-\u2212,;°º′’'″\"”").contains(c))
                return false;
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && text[end].isLetter())
            ++end;
        const bool afterDigit = i > 0 && isDigit(text[i - 1]);
        const bool unit = afterDigit && QStringView(u"dms").contains(c);
        if (end - i == 1 ? !(unit || isHemisphere(c))
                         : !(end - i == 2 && unit && isHemisphere(text[i + 1])))
            return false;
        i = end - 1;
    }
    return digit;
}

std::optional<Tokens> tokenize(QStringView text)
{
    Tokens tokens;
    bool blank = false;
    for (qsizetype i = 0; i < text.size();) {
        const QChar c = text[i];
        if (c.isSpace()) {
            blank = true;
            if (!tokens.empty())
                tokens.back().blankAfter = true;
            ++i;
            continue;
        }
        Token token;
        token.blankBefore = std::exchange(blank, false);
        const bool afterNumber =
            !tokens.empty() && tokens.back().type == Token::Type::Number && !token.blankBefore;
        qsizetype next = i + 1;
        const auto unit = [&token](int which) {
            token.type = Token::Type::Unit;
            token.unit = which;
        };
        if (isDigit(c) || c == u'.' || isSign(c)) {
            while (next < text.size() && (isDigit(text[next]) || text[next] == u'.'))
                ++next;
            token.text = text.mid(i, next - i).toString();
            if (!readDecimal(token.text))
                return std::nullopt;
        } else if (c == u'°' || c == u'º' || (c == u'd' && afterNumber)) {
            unit(0);
        } else if (c == u'\'' && next < text.size() && text[next] == u'\'') {
            unit(2);
            ++next;
        } else if (c == u'′' || c == u'’' || c == u'\'' || (c == u'm' && afterNumber)) {
            unit(1);
        } else if (c == u'″' || c == u'"' || c == u'”' || (c == u's' && afterNumber)) {
            unit(2);
        } else if (isHemisphere(c)) {
            token.type = Token::Type::Hemisphere;
            token.letter = c.toUpper();
        } else if (c == u',' || c == u';') {
            token.type = Token::Type::Separator;
            token.letter = c;
        } else {
            return std::nullopt;
        }
        tokens.push_back(token);
        i = next;
    }
    return tokens;
}

// One angle: degrees, optionally minutes, optionally seconds, in that order, each number
// optionally followed by its mark. Only the first may carry a sign (and then no hemisphere
// letter), only the last a fraction; minutes and seconds stay below 60.
std::optional<double> readAngle(const Tokens &tokens, QChar hemisphere)
{
    struct Component
    {
        QString text;
        int unit = -1;
    };
    std::vector<Component> components;
    for (const Token &token : tokens) {
        if (token.type == Token::Type::Number)
            components.push_back({token.text});
        else if (token.type == Token::Type::Unit && !components.empty()
                 && components.back().unit < 0)
            components.back().unit = token.unit;
        else
            return std::nullopt;
    }
    if (components.empty() || components.size() > 3)
        return std::nullopt;
    constexpr double kDivisor[] = {1.0, 60.0, 3600.0};
    double value = 0.0;
    bool negative = false;
    bool signedNumber = false;
    for (size_t k = 0; k < components.size(); ++k) {
        QStringView text = components[k].text;
        if (components[k].unit >= 0 && components[k].unit != static_cast<int>(k))
            return std::nullopt;
        if (isSign(text.front())) {
            if (k > 0)
                return std::nullopt;
            signedNumber = true;
            negative = isMinus(text.front());
            text = text.mid(1);
        }
        if (text.contains(u'.') && k + 1 < components.size())
            return std::nullopt;
        const std::optional<double> number = readDecimal(text);
        if (!number || (k > 0 && !(*number < 60.0)))
            return std::nullopt;
        value += *number / kDivisor[k];
    }
    if (!hemisphere.isNull()) {
        if (signedNumber)
            return std::nullopt;
        negative = hemisphere == u'S' || hemisphere == u'W';
    }
    return negative ? -value : value;
}

Tokens slice(const Tokens &tokens, size_t from, size_t to)
{
    return Tokens(tokens.begin() + static_cast<std::ptrdiff_t>(from),
                  tokens.begin() + static_cast<std::ptrdiff_t>(to));
}

bool isSeparator(const Token &token)
{
    return token.type == Token::Type::Separator;
}

// The two angles of a text without hemisphere letters: split at its one separator, or between
// two plain numbers, or where marked components start again at degrees.
std::optional<std::pair<Tokens, Tokens>> splitUnlettered(const Tokens &tokens)
{
    std::vector<size_t> separators;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (isSeparator(tokens[i]))
            separators.push_back(i);
    }
    if (separators.size() > 1)
        return std::nullopt;
    if (separators.size() == 1) {
        const size_t at = separators.front();
        Tokens first = slice(tokens, 0, at);
        Tokens second = slice(tokens, at + 1, tokens.size());
        // "48,8566" may be one number with a decimal comma: no guessing.
        const auto whole = [](const Tokens &part) {
            return part.size() == 1 && part.front().type == Token::Type::Number
                && !part.front().text.contains(u'.');
        };
        const Token &separator = tokens[at];
        if (separator.letter == u',' && !separator.blankBefore && !separator.blankAfter
            && whole(first) && whole(second))
            return std::nullopt;
        return std::pair {first, second};
    }
    const auto number = [](const Token &token) { return token.type == Token::Type::Number; };
    if (tokens.size() == 2 && number(tokens[0]) && number(tokens[1]))
        return std::pair {slice(tokens, 0, 1), slice(tokens, 1, 2)};
    // Every number with its mark: a new angle begins where the marks start again.
    std::optional<size_t> restart;
    int lastUnit = -1;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (number(tokens[i])) {
            if (i + 1 >= tokens.size() || tokens[i + 1].type != Token::Type::Unit)
                return std::nullopt;
            continue;
        }
        if (tokens[i].unit <= lastUnit) {
            if (restart)
                return std::nullopt;
            restart = i - 1;
        }
        lastUnit = tokens[i].unit;
    }
    if (!restart)
        return std::nullopt;
    return std::pair {slice(tokens, 0, *restart), slice(tokens, *restart, tokens.size())};
}

CoordinateText readFreeText(QStringView text)
{
    const std::optional<Tokens> read = tokenize(text);
    if (!read)
        return invalid();
    const Tokens &tokens = *read;
    std::vector<size_t> letters;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].type == Token::Type::Hemisphere)
            letters.push_back(i);
    }

    std::optional<double> latitude;
    std::optional<double> longitude;
    if (letters.empty()) {
        const auto halves = splitUnlettered(tokens);
        if (!halves)
            return invalid();
        latitude = readAngle(halves->first, {});
        longitude = readAngle(halves->second, {});
    } else if (letters.size() == 2) {
        const size_t p1 = letters[0];
        const size_t p2 = letters[1];
        const QChar first = tokens[p1].letter;
        const QChar second = tokens[p2].letter;
        const auto isLatitude = [](QChar letter) { return letter == u'N' || letter == u'S'; };
        if (isLatitude(first) == isLatitude(second))
            return invalid();
        Tokens a;
        Tokens b;
        if (p1 == 0) { // N 48° 51.4′, E 2° 21.1′
            a = slice(tokens, 1, p2);
            b = slice(tokens, p2 + 1, tokens.size());
            if (!a.empty() && isSeparator(a.back()))
                a.pop_back();
        } else if (p2 + 1 == tokens.size()) { // 48°51′24″N, 2°21′08″E
            a = slice(tokens, 0, p1);
            b = slice(tokens, p1 + 1, p2);
            if (!b.empty() && isSeparator(b.front()))
                b.erase(b.begin());
        } else {
            return invalid();
        }
        const std::optional<double> angleA = readAngle(a, first);
        const std::optional<double> angleB = readAngle(b, second);
        latitude = isLatitude(first) ? angleA : angleB;
        longitude = isLatitude(first) ? angleB : angleA;
    } else {
        return invalid();
    }
    if (!latitude || !longitude || !inRange(*latitude, *longitude))
        return invalid();
    return found({*latitude, *longitude});
}

} // namespace

CoordinateText readCoordinateText(const QString &input)
{
    const QString text = input.trimmed();
    if (text.startsWith(QLatin1StringView("geo:"), Qt::CaseInsensitive))
        return readGeoUri(QStringView(text).mid(4));
    if (text.startsWith(QLatin1StringView("https://"), Qt::CaseInsensitive)
        || text.startsWith(QLatin1StringView("http://"), Qt::CaseInsensitive))
        return readLink(text);
    if (!looksLikeCoordinates(text))
        return {};
    CoordinateText result = readFreeText(text);
    // What cannot be a coordinate but may be a postcode ("75001", "114 55", "N1") is a name.
    static const QRegularExpression postcodeLike(
        QStringLiteral(R"(^([0-9]+( [0-9]+)?|[A-Za-z][0-9]+)$)"));
    if (result.kind == Kind::Invalid && postcodeLike.match(text).hasMatch())
        return {};
    return result;
}

} // namespace search
