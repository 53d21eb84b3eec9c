// Fuzz target: the reader of a web page's answer. The first byte chooses the
// body limit, whether a body is expected and where the bytes are cut; the rest
// is what the connection delivers. Any bytes end complete or broken without a
// crash, within the limit, and the same bytes read in pieces or all at once
// give the same answer.
#include "HttpAnswer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "http answer fuzz: %s\n", what);
        std::abort();
    }
}

struct Outcome
{
    HttpAnswerReader::State fed;
    HttpAnswerReader::State closed;
    HttpAnswerReader::Answer answer;
    bool surplus;
    bool begun;
    QString error;
};

Outcome read(QByteArrayView bytes, qint64 limit, bool bodyExpected, quint32 cuts)
{
    HttpAnswerReader reader(limit, bodyExpected);
    HttpAnswerReader::State state = HttpAnswerReader::State::Reading;
    qsizetype at = 0;
    quint32 x = cuts | 1;
    while (at < bytes.size()) {
        qsizetype n = bytes.size() - at;
        if (cuts != 0) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            n = qMin<qsizetype>(n, 1 + x % 7);
        }
        state = reader.feed(bytes.sliced(at, n));
        require(state == reader.state(), "feed() and state() disagree");
        at += n;
    }
    Outcome o{state, reader.close(), reader.answer(), reader.surplus(), reader.begun(), reader.error()};
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const qint64 limit = (data[0] & 1) ? 16 : 1024 * 1024;
    const bool bodyExpected = (data[0] & 2) == 0;
    const QByteArrayView bytes(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));

    const Outcome whole = read(bytes, limit, bodyExpected, 0);
    const Outcome pieces = read(bytes, limit, bodyExpected, data[0] | 0x100u);

    require(whole.answer.body.size() <= limit, "the body passed the limit");
    require(whole.closed != HttpAnswerReader::State::Reading, "still reading after the close");
    require(whole.begun == !bytes.isEmpty(), "begun() does not follow the bytes");
    if (whole.closed == HttpAnswerReader::State::Complete) {
        require((whole.answer.status >= 200 && whole.answer.status <= 999) || whole.answer.status == 101,
                "a complete answer with an interim status");
        require(!whole.answer.truncated || !whole.answer.keep, "a cut answer keeps its connection");
    } else {
        require(!whole.error.isEmpty(), "broken without a reason");
    }

    require(whole.fed == pieces.fed && whole.closed == pieces.closed, "pieces change the outcome");
    require(whole.answer.status == pieces.answer.status && whole.answer.reason == pieces.answer.reason &&
                whole.answer.body == pieces.answer.body && whole.answer.truncated == pieces.answer.truncated &&
                whole.answer.keep == pieces.answer.keep,
            "pieces change the answer");
    require(whole.error == pieces.error, "pieces change the reason");
    require(whole.surplus == pieces.surplus || whole.answer.truncated, "pieces change the surplus");
    return 0;
}
