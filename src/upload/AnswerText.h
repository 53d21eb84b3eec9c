// SPDX-License-Identifier: GPL-3.0-or-later
// What an answer written in HTML says, as one line an operator can read: error
// pages of servers, frameworks and proxies are markup, and their words are lost
// among the tags in the status box.
#pragma once

#include <QByteArrayView>
#include <QString>

namespace AnswerText {

/// The text of an HTML answer, its blocks (title, headings, paragraphs) joined
/// by " - ", a title repeated by a heading said once, cut after a sentence
/// near maxChars. Empty when the answer is not HTML or holds no text.
QString fromHtml(QByteArrayView body, int maxChars = 200);

} // namespace AnswerText
