// The upload's reading of the server's answer on arbitrary bytes. The
// answer may arrive in any pieces, so the same bytes fed whole, byte by
// byte and in the pieces the first input byte chooses must all end in the
// same decision; once decided, later bytes change nothing.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "alarm/http_request.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Outcome {
    bool decided;
    int status;
    bool succeeded;
};

Outcome Of(const HttpStatusReader &reader)
{
    return Outcome{reader.Decided(), reader.Status(), reader.Succeeded()};
}

bool Same(const Outcome &a, const Outcome &b)
{
    return a.decided == b.decided && a.status == b.status && a.succeeded == b.succeeded;
}

void CheckConsistent(const Outcome &o)
{
    FUZZ_CHECK(o.status == 0 || (o.decided && o.status >= 200 && o.status <= 999), "status %d (decided %d)",
               o.status, o.decided);
    FUZZ_CHECK(o.succeeded == (o.status >= 200 && o.status <= 299), "success %d for status %d", o.succeeded,
               o.status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t piece = 1 + data[0] % 17;
    // Each piece in a buffer of exactly its bytes.
    std::string answer(reinterpret_cast<const char *>(data + 1), size - 1);

    HttpStatusReader whole;
    {
        fuzz::ExactBuffer bytes(answer);
        whole.Feed(bytes.data(), bytes.size());
    }
    Outcome expected = Of(whole);
    CheckConsistent(expected);

    HttpStatusReader single;
    HttpStatusReader pieces;
    bool decidedBefore = false;
    Outcome first = Of(single);
    // One byte of its own for every step: a read past it is still seen,
    // without an allocation per byte.
    fuzz::ExactBuffer byte(std::string(1, '\0'));
    for (size_t i = 0; i < answer.size(); ++i) {
        byte.data()[0] = answer[i];
        single.Feed(byte.data(), 1);
        Outcome now = Of(single);
        CheckConsistent(now);
        if (decidedBefore)
            FUZZ_CHECK(Same(now, first), "a decided answer changed at byte %zu", i);
        else if (now.decided) {
            decidedBefore = true;
            first = now;
        }
    }
    // One buffer of a whole piece; a shorter last piece sits at its end, so
    // a read past any piece is still seen.
    fuzz::ExactBuffer part(std::string(piece, '\0'));
    for (size_t i = 0; i < answer.size(); i += piece) {
        size_t n = answer.size() - i < piece ? answer.size() - i : piece;
        char *at = part.data() + (piece - n);
        memcpy(at, answer.data() + i, n);
        pieces.Feed(at, n);
    }
    FUZZ_CHECK(Same(Of(single), expected), "byte-by-byte reading differs from the whole");
    FUZZ_CHECK(Same(Of(pieces), expected), "reading in pieces of %zu differs from the whole", piece);
    return 0;
}
