// SPDX-License-Identifier: GPL-3.0-or-later
#include "AnswerText.h"

#include <QRegularExpression>
#include <QStringList>

namespace AnswerText {

namespace {

bool looksLikeHtml(const QString& text)
{
    static const QRegularExpression markup(
        QStringLiteral(R"(<\s*(!doctype\s+html|html|head|body|title|h[1-6]|p)\b)"),
        QRegularExpression::CaseInsensitiveOption);
    return markup.match(text).hasMatch();
}

QString decodeEntities(const QString& text)
{
    static const QRegularExpression entity(
        QStringLiteral("&(#[0-9]{1,7}|#[xX][0-9a-fA-F]{1,6}|[a-zA-Z]{2,8});"));
    QString out;
    qsizetype from = 0;
    for (auto it = entity.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += QStringView(text).sliced(from, m.capturedStart() - from);
        from = m.capturedEnd();
        const QString name = m.captured(1);
        char32_t code = 0;
        if (name.startsWith(u'#')) {
            bool ok = false;
            code = name.size() > 1 && (name[1] == u'x' || name[1] == u'X') ? name.sliced(2).toUInt(&ok, 16)
                                                                           : name.sliced(1).toUInt(&ok, 10);
            if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                code = 0xFFFD;
        } else if (name == QLatin1String("amp")) {
            code = '&';
        } else if (name == QLatin1String("lt")) {
            code = '<';
        } else if (name == QLatin1String("gt")) {
            code = '>';
        } else if (name == QLatin1String("quot")) {
            code = '"';
        } else if (name == QLatin1String("apos")) {
            code = '\'';
        } else if (name == QLatin1String("nbsp")) {
            code = ' ';
        } else {
            out += m.captured(0); // one that is not known stays as written
            continue;
        }
        out += QString::fromUcs4(&code, 1);
    }
    out += QStringView(text).sliced(from);
    return out;
}

/// Cut after the last sentence that ends within maxChars, or at a word.
QString cut(const QString& text, int maxChars)
{
    if (text.size() <= maxChars)
        return text;
    const QString head = text.left(maxChars);
    static const QRegularExpression sentenceEnd(QStringLiteral(R"([.!?](?=\s|$))"));
    qsizetype end = -1;
    for (auto it = sentenceEnd.globalMatch(head); it.hasNext();)
        end = it.next().capturedEnd();
    if (end >= maxChars / 3)
        return head.left(end);
    const qsizetype blank = head.lastIndexOf(u' ');
    return (blank > maxChars / 3 ? head.left(blank) : head) + QStringLiteral("...");
}

} // namespace

QString fromHtml(QByteArrayView body, int maxChars)
{
    // An error page is short; a page that sends a whole site is read no further
    // than what a line can say.
    QString text = QString::fromUtf8(body.first(qMin<qsizetype>(body.size(), 64 * 1024)));
    if (!looksLikeHtml(text))
        return {};
    static const QRegularExpression hidden(
        QStringLiteral(
            R"(<!--.*?-->|<\s*(script|style)\b[^>]*>.*?<\s*/\s*\1\s*>|<!\[CDATA\[.*?\]\]>|<\?.*?\?>|<!doctype[^>]*>)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    text.remove(hidden);
    // Blocks end at these tags; inline markup (a, em, b, span) joins its words.
    static const QRegularExpression blockTag(
        QStringLiteral(
            R"(<\s*/?\s*(title|h[1-6]|p|div|br|hr|li|tr|td|th|table|ul|ol|pre|address|body|html|center|section|article|header|footer|main|dd|dt)\b[^>]*>)"),
        QRegularExpression::CaseInsensitiveOption);
    text.replace(blockTag, QStringLiteral("\n"));
    static const QRegularExpression anyTag(QStringLiteral(R"(<[^>]*>)"));
    text.remove(anyTag);
    text = decodeEntities(text);

    QStringList blocks;
    for (const QString& block : text.split(u'\n')) {
        const QString words = block.simplified();
        if (words.isEmpty())
            continue;
        // "<title>404 Not Found</title> ... <h1>Not Found</h1>": said once.
        if (!blocks.isEmpty() && (blocks.last() == words || blocks.last().endsWith(words)))
            continue;
        if (!blocks.isEmpty() && words.endsWith(blocks.last()))
            blocks.last() = words;
        else
            blocks << words;
    }
    return cut(blocks.join(QStringLiteral(" - ")), maxChars);
}

} // namespace AnswerText
