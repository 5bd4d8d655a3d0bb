// CML costs against their baselines, measured in the same run:
//   - reading a 1 MB compound message (parse and deserialize) against a bare
//     Xerces DOM parse of the same bytes;
//   - writing it to a narrow stream against appending the same bytes, in the
//     same pieces, to a std::string;
//   - peak resident memory of reading a 1 MB and a 50 MB message, each in a
//     process of its own, against the bare Xerces parse.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ovxStatus.h"
#include "BenchReport.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlParser.h"

using namespace ovx::cml;

namespace {

std::string Written(const CCmlMessage& message);

CCmlMessage MessageOfSize(size_t bytes) {
    CAgentInfo source;
    source.SetName(L"Benchmark sensor");
    source.SetAgentId(L"{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    source.AddAgentGroup(L"Servers");
    CAgentInfo destination;
    destination.SetName(L"DesktopController");
    CCmlMessage message(source, L"{message}", destination, false, L"");
    CCmlErrorResponse response;
    response.SetCode(OVX_E_UNEXPECTED);
    response.SetText(L"The operation failed: \"quoted\" & <escaped> text, caf\u00e9 \u20ac");
    response.SetRequestId(L"{request-000000}");
    message.AddResponse(response);
    const size_t one = Written(message).size();
    message.AddResponse(response);
    const size_t each = Written(message).size() - one;
    for (size_t written = one + each; written < bytes; written += each) message.AddResponse(response);
    return message;
}

std::string Written(const CCmlMessage& message) {
    std::ostringstream out;
    message.Serialize(out);
    return out.str();
}

const std::string& OneMegabyte() {
    static const std::string xml = Written(MessageOfSize(1u << 20));
    return xml;
}

// The document cut where a hand-written serializer would append: runs of
// markup and whitespace, and whole names, attribute values and texts. The
// baseline appends these pieces, already encoded and escaped, to a string;
// the cut depends on the text, not on how our writer happens to batch it.
std::vector<std::string> Pieces(const std::string& xml) {
    std::vector<std::string> pieces;
    auto markup = [](char c) { return c == '<' || c == '>' || c == '=' || c == '/' || c == ' ' || c == '\n'; };
    size_t i = 0;
    while (i < xml.size()) {
        size_t start = i;
        if (xml[i] == '\'') {  // a quoted value, quotes with it
            size_t close = xml.find('\'', i + 1);
            i = close == std::string::npos ? xml.size() : close + 1;
        } else if (markup(xml[i])) {
            while (i < xml.size() && markup(xml[i])) ++i;
        } else {
            while (i < xml.size() && !markup(xml[i]) && xml[i] != '\'') ++i;
        }
        pieces.push_back(xml.substr(start, i - start));
    }
    return pieces;
}

void BareXercesParse(benchmark::State& state) {
    const std::string& xml = OneMegabyte();
    xercesc::XercesDOMParser parser;
    parser.setDoNamespaces(true);
    for (auto _ : state) {
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "bench", false);
        parser.parse(source);
        benchmark::DoNotOptimize(parser.getDocument());
        parser.resetDocumentPool();  // as the CML parser does; else documents pile up
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}

void CmlParseAndDeserialize(benchmark::State& state) {
    const std::string& xml = OneMegabyte();
    for (auto _ : state) {
        std::unique_ptr<CCmlDocumentBase> document(
            CreateDocumentFromXml(xml.data(), xml.size(), kDoNotValidate, nullptr, nullptr, kMatchCompatible));
        benchmark::DoNotOptimize(document.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}

// The two halves of the read, for the breakdown.
void CmlParseOnly(benchmark::State& state) {
    const std::string& xml = OneMegabyte();
    for (auto _ : state) {
        CCmlParser parser;
        parser.ParseBuffer(xml.data(), xml.size(), kDoNotValidate, nullptr);
        benchmark::DoNotOptimize(parser.GetDocument().GetDOMDocument());
    }
}

void CmlDeserializeOnly(benchmark::State& state) {
    const std::string& xml = OneMegabyte();
    CCmlParser parser;
    parser.ParseBuffer(xml.data(), xml.size(), kDoNotValidate, nullptr);
    for (auto _ : state) {
        CCmlDOM_Element root = parser.GetDocument().getDocumentElement();
        std::unique_ptr<CCmlDocumentBase> document(DeserializeParsedDocument(root, kMatchCompatible));
        benchmark::DoNotOptimize(document.get());
    }
}

void StringAppend(benchmark::State& state) {
    static const CCmlMessage message = MessageOfSize(1u << 20);
    const std::vector<std::string> pieces = Pieces(Written(message));
    state.counters["pieces"] = static_cast<double>(pieces.size());
    for (auto _ : state) {
        std::string text;
        for (const std::string& piece : pieces) text.append(piece);
        benchmark::DoNotOptimize(text.data());
    }
}

void CmlSerialize(benchmark::State& state) {
    static const CCmlMessage message = MessageOfSize(1u << 20);
    for (auto _ : state) {
        std::ostringstream out;
        message.Serialize(out);
        benchmark::DoNotOptimize(out.tellp());
    }
}

// Peak resident growth of one read in MB, in a process of its own so the
// figures do not hide behind each other.
double PeakGrowthMb(size_t bytes, bool bare) {
    int channel[2];
    if (pipe(channel) != 0) return -1;
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string xml = Written(MessageOfSize(bytes));
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        if (bare) {
            xercesc::XercesDOMParser parser;
            parser.setDoNamespaces(true);
            xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "bench", false);
            parser.parse(source);
        } else {
            std::unique_ptr<CCmlDocumentBase> document(
                CreateDocumentFromXml(xml.data(), xml.size(), kDoNotValidate, nullptr, nullptr, kMatchCompatible));
        }
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        const double grown = static_cast<double>(after.ru_maxrss - before.ru_maxrss) / 1024.0;
        const ssize_t written = write(channel[1], &grown, sizeof grown);
        _exit(written == sizeof grown ? 0 : 1);
    }
    close(channel[1]);
    double grown = -1;
    if (read(channel[0], &grown, sizeof grown) != sizeof grown) grown = -1;
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return grown;
}

void ComparePeak(const char* what, size_t bytes) {
    const double ours = PeakGrowthMb(bytes, false), bare = PeakGrowthMb(bytes, true);
    if (ours <= 0 || bare <= 0) return;
    ovxBench::Compare(what, ovxBench::Figure(ours, "MB"), ovxBench::Figure(bare, "MB"), ours / bare, "<= 2.0x",
                      ours / bare <= 2.0);
}

void CompareTimes(const ovxBench::CTimesReporter& times, const char* what, const char* ours, const char* baseline,
                  double limit) {
    const double mine = times.Time(ours), theirs = times.Time(baseline);
    if (mine <= 0 || theirs <= 0) return;
    char goal[32];
    std::snprintf(goal, sizeof goal, "<= %.1fx", limit);
    ovxBench::Compare(what, ovxBench::Figure(mine, "ms"), ovxBench::Figure(theirs, "ms"), mine / theirs, goal,
                      mine / theirs <= limit);
}

}  // namespace

BENCHMARK(BareXercesParse)->Unit(benchmark::kMillisecond);
BENCHMARK(CmlParseAndDeserialize)->Unit(benchmark::kMillisecond);
BENCHMARK(CmlParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(CmlDeserializeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(StringAppend)->Unit(benchmark::kMillisecond);
BENCHMARK(CmlSerialize)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // On this kind of virtual machine a page fault costs more than parsing
    // the page: with glibc's defaults every iteration hands the freed DOM
    // back to the kernel and faults it in again, and the figures measure the
    // hypervisor. Keeping freed memory in the process makes both sides of
    // each ratio measure their own work.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    xercesc::XMLPlatformUtils::Initialize();
    // The peaks first, while this process is small: a child forked later
    // would reuse the heap the benchmarks left behind and show less growth.
    ComparePeak("CML read 1 MB, peak memory vs bare Xerces", 1u << 20);
    ComparePeak("CML read 50 MB, peak memory vs bare Xerces", 50u << 20);
    ovxBench::CTimesReporter reporter;
    ovxBench::RunAll(argc, argv, reporter);
    CompareTimes(reporter, "CML parse+deserialize 1 MB vs bare Xerces parse", "CmlParseAndDeserialize",
                 "BareXercesParse", 1.5);
    CompareTimes(reporter, "CML serialize 1 MB vs std::string append", "CmlSerialize", "StringAppend", 3.0);
    benchmark::Shutdown();
    xercesc::XMLPlatformUtils::Terminate();
    return 0;
}
