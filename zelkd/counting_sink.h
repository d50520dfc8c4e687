// A ReplySink in front of the transport's: counts every error answer by its
// number and marks each answer with a tracepoint before passing it on.
#ifndef ZELKD_COUNTING_SINK_H
#define ZELKD_COUNTING_SINK_H

#include "common/trace.h"
#include "counters.h"
#include "device_handler.h"

namespace zelkd {

class CountingSink final : public ReplySink {
public:
    CountingSink(ReplySink &sink, Counters &counters)
        : sink_(sink), counters_(counters)
    {
    }

    void replyIoctl(Token token, const void *out, size_t size) override
    {
        ZELK_PROBE(zelkd, request_answer, token, 0, size);
        sink_.replyIoctl(token, out, size);
    }
    void replyError(Token token, int err) override
    {
        counters_.error(err);
        ZELK_PROBE(zelkd, request_answer, token, err, 0);
        sink_.replyError(token, err);
    }
    void keep(Token token) override { sink_.keep(token); }

private:
    ReplySink &sink_;
    Counters &counters_;
};

} // namespace zelkd

#endif
