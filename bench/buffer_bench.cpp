// Message building and parsing through WriteBuffer and ReadBuffer, against a
// plain std::vector baseline doing the same byte work.
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

const std::string kText = "directory/entry/name";
const int kFields = 64;

void BuildWithWriteBuffer(benchmark::State& state)
{
    WriteBuffer wb(2, true);
    for (auto _ : state)
    {
        for (int i = 0; i < kFields; ++i)
        {
            wb.AppendShort(static_cast<uint16_t>(i));
            wb.AppendLong(static_cast<uint32_t>(i) * 7919u);
            wb.AppendString(kText, 1);
        }
        SmartPtr<ByteBuffer> msg = wb.ToByteBuffer(true);
        benchmark::DoNotOptimize(msg.Get());
    }
}
BENCHMARK(BuildWithWriteBuffer);

// Baseline: the same bytes appended to a std::vector, then copied into a new block.
void BuildWithVectorBaseline(benchmark::State& state)
{
    for (auto _ : state)
    {
        std::vector<uint8_t> v(2);
        for (int i = 0; i < kFields; ++i)
        {
            const uint16_t s = static_cast<uint16_t>(i);
            const uint32_t l = static_cast<uint32_t>(i) * 7919u;
            const uint8_t* ps = reinterpret_cast<const uint8_t*>(&s);
            const uint8_t* pl = reinterpret_cast<const uint8_t*>(&l);
            v.insert(v.end(), ps, ps + 2);
            v.insert(v.end(), pl, pl + 4);
            v.push_back(static_cast<uint8_t>(kText.size()));
            v.insert(v.end(), kText.begin(), kText.end());
        }
        const uint16_t len = static_cast<uint16_t>(v.size());
        std::memcpy(v.data(), &len, 2);
        SmartPtr<ByteBuffer> msg(new ByteBuffer(v.data(), static_cast<uint32_t>(v.size())));
        benchmark::DoNotOptimize(msg.Get());
    }
}
BENCHMARK(BuildWithVectorBaseline);

// Handing over a large finished message: release (no copy) against copy.
void ToByteBufferRelease(benchmark::State& state)
{
    std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
    WriteBuffer wb(4, true);
    for (auto _ : state)
    {
        wb.AppendBytes(payload.data(), static_cast<uint32_t>(payload.size()));
        SmartPtr<ByteBuffer> msg = wb.ToByteBuffer(state.range(1) != 0);
        benchmark::DoNotOptimize(msg.Get());
        wb.Reset();
    }
}
BENCHMARK(ToByteBufferRelease)->Args({1 << 20, 1})->Args({1 << 20, 0});

SmartPtr<ByteBuffer> SampleMessage()
{
    WriteBuffer wb;
    for (int i = 0; i < kFields; ++i)
    {
        wb.AppendShort(static_cast<uint16_t>(i));
        wb.AppendLong(static_cast<uint32_t>(i) * 7919u);
        wb.AppendString(kText, 1);
    }
    return wb.ToByteBuffer(true);
}

void ParseWithReadBuffer(benchmark::State& state)
{
    SmartPtr<ByteBuffer> msg = SampleMessage();
    std::string s;
    for (auto _ : state)
    {
        ReadBuffer rb(msg);
        uint32_t sum = 0;
        for (int i = 0; i < kFields; ++i)
        {
            sum += rb.ReadShort();
            sum += rb.ReadLong();
            rb.ReadString(s, 1);
            sum += static_cast<uint32_t>(s.size());
        }
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(ParseWithReadBuffer);

// Baseline: the same fields read by hand with one bounds test per field.
void ParseByHandBaseline(benchmark::State& state)
{
    SmartPtr<ByteBuffer> msg = SampleMessage();
    std::string s;
    for (auto _ : state)
    {
        const uint8_t* p = msg->GetData();
        const uint8_t* end = p + msg->GetLength();
        uint32_t sum = 0;
        for (int i = 0; i < kFields; ++i)
        {
            if (end - p < 7)
                break;
            uint16_t a;
            uint32_t b;
            std::memcpy(&a, p, 2);
            std::memcpy(&b, p + 2, 4);
            const uint8_t n = p[6];
            p += 7;
            if (end - p < n)
                break;
            s.assign(reinterpret_cast<const char*>(p), n);
            p += n;
            sum += a + b + static_cast<uint32_t>(s.size());
        }
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(ParseByHandBaseline);

} // namespace

BENCHMARK_MAIN();
