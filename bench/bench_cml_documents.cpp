// Building, writing and reading back a startup announcement grows linearly
// with its items: the same work at 1x, 10x and 100x of a base size (10
// modules with a status policy each, 5 schemas, 2 policy items), with the
// per-item time of each size compared with the base's in the same run.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <xercesc/util/PlatformUtils.hpp>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "BenchReport.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlParser.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlPolicy.h"

using namespace ovx::cml;

namespace {

CCmlMessage Build(int scale) {
    CAgentInfo source;
    source.SetName(L"sensor");
    CAgentInfo destination;
    destination.SetName(L"DesktopController");
    CCmlMessage message(source, L"{m}", destination, false, L"");
    CAgentStartupAnnouncement announcement;
    CAgentInfoContent& content = announcement.GetContent();
    content.name = L"Benchmark sensor";
    content.agentId = L"{6B29FC40-CA47-1067-B31D-00DD010662DA}";
    content.version = L"5.0.0";
    content.host.os = L"Linux";
    content.host.version = L"6.1";
    for (int i = 0; i < 10 * scale; ++i) {
        CModuleInfo module(L"module-" + std::to_wstring(i), L"1.2." + std::to_wstring(i), 0);
        CCmlAvpSections status(true);
        CAvpSection section(kNsRoAvpSections, L"state");
        section.AddParameter(L"running", L"true");
        status.AddSection(section);
        module.AddPolicy(status);
        content.modules.push_back(std::move(module));
    }
    for (int i = 0; i < 5 * scale; ++i) {
        content.schemas.push_back(CSchemaInfo(L"https://schemas.example.org/xml/cml/Ext" + std::to_wstring(i), L"1.0.0",
                                              L"schema " + std::to_wstring(i)));
    }
    message.AddRequest(announcement);
    CGetPolicyRequest policies;
    for (int i = 0; i < 2 * scale; ++i) {
        policies.AddItem(CPolicyItem(L"policy-" + std::to_wstring(i), kNsAvpSections, L"1", L"", L"", 0, L"", L"", L"",
                                     L"", L"policy-item"));
    }
    message.AddRequest(policies);
    return message;
}

void BuildWriteRead(benchmark::State& state) {
    const int scale = static_cast<int>(state.range(0));
    for (auto _ : state) {
        CCmlMessage message = Build(scale);
        std::ostringstream out;
        message.Serialize(out);
        const std::string xml = out.str();
        std::unique_ptr<CCmlDocumentBase> back(
            CreateDocumentFromXml(xml.data(), xml.size(), kDoNotValidate, nullptr, nullptr, kMatchCompatible));
        benchmark::DoNotOptimize(back.get());
    }
    state.counters["items"] = 17.0 * scale;
}

}  // namespace

BENCHMARK(BuildWriteRead)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // See bench_cml.cpp: keep freed memory in the process so the figures
    // measure our work rather than the hypervisor's page faults.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    xercesc::XMLPlatformUtils::Initialize();
    ovxBench::CTimesReporter reporter;
    ovxBench::RunAll(argc, argv, reporter);
    const double base = reporter.Time("BuildWriteRead/1");
    for (int scale : {10, 100}) {
        const double time = reporter.Time("BuildWriteRead/" + std::to_string(scale));
        if (base <= 0 || time <= 0) continue;
        const double perItem = time / scale;
        ovxBench::Compare("CML document " + std::to_string(scale) + "x items, time per item vs 1x",
                          ovxBench::Figure(perItem * 1000 / 17, "us/item"),
                          ovxBench::Figure(base * 1000 / 17, "us/item"), perItem / base, "<= 1.5x (linear)",
                          perItem / base <= 1.5);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory of the run: %.1f MB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    benchmark::Shutdown();
    xercesc::XMLPlatformUtils::Terminate();
    return 0;
}
