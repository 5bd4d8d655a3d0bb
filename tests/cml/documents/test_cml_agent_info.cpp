#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml_documents_test_support.h"
#include "tools/ovxError.h"

#include <functional>
#include <thread>
#include <vector>

using namespace ovx::cml::testing;

namespace {

// Status texts come from the message catalog, which the session opens.
struct CatalogEnvironment : ::testing::Environment {
    void SetUp() override { ASSERT_EQ(0, ovxToolsLib::OVXError::OpenCatalog(nullptr, "ovx-ZuviDevi", "")); }
};
const ::testing::Environment* const g_catalog = ::testing::AddGlobalTestEnvironment(new CatalogEnvironment);

CAgentStartupAnnouncement FullAnnouncement(bool older) {
    CAgentStartupAnnouncement announcement;
    if (older) Place(announcement, true).SetSchemaVersion(L"2.4.1");
    announcement.SetRequestId(L"{r}");
    CAgentInfoContent& content = announcement.GetContent();
    std::tie(content.name, content.agentId, content.namespaceUri, content.version, content.model) =
        std::make_tuple(L"Sensor & Co", L"{id}", L"urn:agents", L"5.0.0", L"M1");
    std::tie(content.agentStatus, content.lastRestart, content.sendNewSchemas, content.packageStatus) =
        std::make_tuple(0xC7210005u, L"2026-12-07T10:00:00Z", false, 3u);
    std::tie(content.registerAgent, content.persistentConnection, content.reverseConnection) =
        std::make_tuple(L"yes", kTriTrue, kTriFalse);
    content.host = CHostInfo{L"Linux", L"6.1", L"", L"h1", L"", L"", L"", L""};
    content.schemas.push_back(CSchemaInfo(kNsAgentMessages, L"1.0.4", L"agent", false, true));
    content.contentDates.push_back(CContentDate(L"sig", L"2026-12-01"));
    CModuleInfo module(L"scanner", L"2.1", 0);
    CCmlAvpSections status(true);
    status.SetName(L"details");
    CAvpSection section(kNsRoAvpSections, L"engine");
    section.AddParameter(L"state", L"on");
    status.AddSection(section);
    module.AddPolicy(status);
    content.modules.push_back(module);
    content.updates.push_back(CUpdateInfo(L"scanner", L"full", L"2.2"));
    std::tie(content.copyright, content.patent) = std::make_tuple(L"(c) 2026 <us>", L"Patents pending");
    return announcement;
}

const char kBody[] =
    ">\n"
    "    <host-info os='Linux' version='6.1' host-name='h1'/>\n"
    "    <schema-list>\n"
    "        <schema-info namespace='https://schemas.example.org/xml/cml/Message/AgentMessages' version='1.0.4' "
    "name='agent' root='true'/>\n"
    "    </schema-list>\n"
    "    <content-date-list>\n"
    "        <content-date identity='sig' date='2026-12-01'/>\n"
    "    </content-date-list>\n"
    "    <module-list>\n"
    "        <module name='scanner' version='2.1' status='0x0' status-text='Success [ID=0]'>\n"
    "            <policy xmlns='https://schemas.example.org/xml/cml/CommonDocuments/RoAvpSections' "
    "schema-version='2.0.1' name='details'>\n"
    "                <section xmlns='https://schemas.example.org/xml/cml/CommonDocuments/RoAvpSections' "
    "name='engine' ordinal='1'>\n"
    "                    <param xmlns='https://schemas.example.org/xml/cml/Core/PolicyCommon' name='state' "
    "value='on'/>\n"
    "                </section>\n"
    "            </policy>\n"
    "        </module>\n"
    "    </module-list>\n"
    "    <update-list>\n"
    "        <update module='scanner' type='full' version='2.2'/>\n"
    "    </update-list>\n"
    "    <copyright-info>(c) 2026 &lt;us&gt;</copyright-info>\n"
    "    <patent-info>Patents pending</patent-info>\n"
    "</agent-startup-announcement>\n";

const char kCommonAttributes[] =
    " request-id='{r}' name='Sensor &amp; Co' agent-id='{id}' namespace='urn:agents' version='5.0.0' model='M1' "
    "agent-status='0xc7210005' status-text='An unexpected internal failure occurred. [ID=0xc7210005]' "
    "last-restart='2026-12-07T10:00:00Z' send-new-schemas='false'";

}  // namespace

// The connection attributes exist from 1.0.4 on and, in the older
// namespace, from 2.4.3 on.
TEST(AgentInfo, GoldenAnnouncementsUnderBothVersionRulesAndUnsetValuesWriteNothing) {
    const std::string start = "<agent-startup-announcement xmlns='https://schemas.example.org/xml/cml";
    EXPECT_EQ(start + "/Message/AgentMessages' schema-version='1.0.4'" + kCommonAttributes +
                  " vqd-status='3' register-agent='yes' persistent-connection='true' reverse-connection='false'" +
                  kBody,
              ElementOf<char>(FullAnnouncement(false)));
    EXPECT_EQ(start + "' schema-version='2.4.1'" + kCommonAttributes + kBody, ElementOf<char>(FullAnnouncement(true)));
    CAgentStartupAnnouncement patched = FullAnnouncement(true);
    patched.SetSchemaVersion(L"2.4.3");
    EXPECT_THAT(ElementOf<char>(patched), HasSubstr(" vqd-status='3'"));
    // Defaults and unset values write nothing.
    EXPECT_THAT(ElementOf<char>(CAgentStartupAnnouncement()),
                AllOf(Not(HasSubstr("agent-status")), Not(HasSubstr("send-new-schemas")), Not(HasSubstr("connection")),
                      Not(HasSubstr("-list")), HasSubstr("<host-info os='' version=''/>")));
    SetSerializeDefaults(true);
    const std::string text = ElementOf<char>(CAgentStartupAnnouncement());
    SetSerializeDefaults(false);
    EXPECT_THAT(text, AllOf(HasSubstr(" use-local-settings='false'"), HasSubstr(" send-new-schemas='true'"),
                            Not(HasSubstr("persistent-connection"))));
}

TEST(AgentInfo, AnnouncementsSurviveTheRoundTripInEveryNamespace) {
    for (bool older : {false, true}) {
        SCOPED_TRACE(older ? "2.4.x" : "1.0.4");
        CCmlMessage message = Envelope(older ? L"1.0.0" : L"1.0.1");
        CAgentStartupAnnouncement announcement = FullAnnouncement(older);
        if (older) announcement.SetSchemaVersion(kVersionCml);
        message.AddRequest(announcement);
        CAgentStartupAcknowledgement acknowledgement;
        message.AddResponse(Place(acknowledgement, older));
        std::unique_ptr<CCmlMessage> back = RoundTrip(message, true);
        ASSERT_TRUE(back && back->GetRequests().size() == 1 && back->GetResponses().size() == 1);
        auto* read = dynamic_cast<CAgentStartupAnnouncement*>(back->GetRequests()[0]);
        ASSERT_TRUE(read && dynamic_cast<CAgentStartupAcknowledgement*>(back->GetResponses()[0]));
        // Every field is read as sent. The modules' read-only status policies
        // come back as DOM nodes, written in the DOM's attribute order, and
        // typed for the status details; from then on the text is stable.
        const std::string sent = ElementOf<char>(announcement), got = ElementOf<char>(*read);
        EXPECT_EQ(sent.substr(0, sent.find("<module ")), got.substr(0, got.find("<module ")));
        EXPECT_EQ(sent.substr(sent.find("</module-list>")), got.substr(got.find("</module-list>")));
        std::unique_ptr<CCmlMessage> again = RoundTrip(*back);
        ASSERT_NE(nullptr, again);
        EXPECT_EQ(Written(*back), Written(*again));
        ASSERT_EQ(1u, read->GetContent().modules.size());
        CModuleInfo& module = read->GetContent().modules[0];
        ASSERT_EQ(1u, module.GetPolicyCount());
        EXPECT_EQ(0u, module.GetStatus());
        EXPECT_NE(nullptr, dynamic_cast<CPolicyNode*>(module.GetPolicy(0)));
        std::vector<CPolicySource*> policies = module.GetPolicies(kNsAgentStatusDetails);
        auto* typed = policies.size() == 1 ? dynamic_cast<CCmlAvpSections*>(policies[0]) : nullptr;
        ASSERT_TRUE(typed && typed->FindSection(L"engine"));
        EXPECT_EQ(L"on", typed->FindSection(L"engine")->FindParameter(L"state")->GetValue());
    }
}

TEST(AgentInfo, ReadingKeepsToItsNamespacesAndStatusRules) {
    CAgentStartupAnnouncement announcement;
    ReadFrom(announcement,
             "<agent-startup-announcement xmlns='https://schemas.example.org/xml/cml/Message/AgentMessages' "
             "schema-version='1.0.4' request-id='1' agent-status='junk' persistent-connection='TRUE'>"
             "<module-list><module name='a'/><x:module xmlns:x='urn:x' name='b'/></module-list>"
             "</agent-startup-announcement>");
    const CAgentInfoContent& content = announcement.GetContent();
    EXPECT_TRUE(content.agentStatus == OVX_I_CML_STATUS_NOT_SET && content.packageStatus == OVX_I_CML_STATUS_NOT_SET);
    EXPECT_TRUE(content.persistentConnection == kTriUnset && content.sendNewSchemas);
    ASSERT_EQ(1u, content.modules.size());
    EXPECT_EQ(L"a", content.modules[0].GetName());
    EXPECT_EQ(OVX_E_CML_BAD_INDEX, CodeOf([&] { content.GetContentDate(0); }));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT,
              CodeOf([&] { announcement.GetContent().AddPolicy(static_cast<CPolicySource*>(nullptr)); }));
}

// A module's status text is the catalog's: the texts a heartbeat writes
// again and again are kept, but never past the catalog they came from.
TEST(AgentInfo, StatusTextsFollowTheCatalogInForce) {
    auto written = [] {
        CAgentStartupAnnouncement announcement;
        announcement.GetContent().modules.push_back(CModuleInfo(L"scanner", L"2.1", OVX_E_UNEXPECTED));
        return Written(announcement);
    };
    const std::string fromCatalog = "status-text='An unexpected internal failure occurred. [ID=0xc7210005]'";
    for (int time = 0; time < 2; ++time) EXPECT_THAT(written(), HasSubstr(fromCatalog));
    ovxToolsLib::ovxCloseCatalog();
    EXPECT_THAT(written(), HasSubstr("status-text='Status 2 retrieving message text for [0xc7210005]'"));
    ASSERT_EQ(0, ovxToolsLib::OVXError::OpenCatalog(nullptr, "ovx-ZuviDevi", ""));
    EXPECT_THAT(written(), HasSubstr(fromCatalog));
}

// A thread writes a schema or module list it wrote last time as it wrote it
// then. After a change to anything a list is written from, the text must be
// what a thread that has written no list writes, and no longer the old one.
TEST(AgentInfo, ListsWrittenAgainAreWhatAFreshThreadWrites) {
    CAgentStartupAnnouncement announcement;
    CAgentInfoContent& content = announcement.GetContent();
    for (const wchar_t* name : {L"a", L"b", L"c"}) {
        content.schemas.push_back(CSchemaInfo(std::wstring(L"urn:schema:") + name, L"1.0.0", L""));
        content.modules.push_back(CModuleInfo(name, L"1.0", 0));
    }
    const auto fresh = [&](int level, bool wide) {
        std::string narrow;
        std::wstring text;
        std::thread([&] {
            if (wide) text = ElementOf<wchar_t>(announcement, level);
            if (!wide) narrow = ElementOf<char>(announcement, level);
        }).join();
        return wide ? ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(text) : narrow;
    };
    const auto here = [&](int level, bool wide) {
        return wide ? ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(ElementOf<wchar_t>(announcement, level))
                    : ElementOf<char>(announcement, level);
    };
    CCmlAvpSections policy(true);
    policy.SetName(L"details");
    const std::vector<std::function<void()>> changes = {
        [&] { content.schemas[0].SetNamespace(L"urn:schema:q"); },  // as long, the last byte differs
        [&] { content.modules[0].SetVersion(L"1.1"); },
        [&] { content.schemas[1].SetNamespace(L"urn:other"); },
        [&] { content.schemas[1].SetVersion(L"2.0"); },
        [&] { content.schemas[1].SetName(L"named"); },
        [&] { content.schemas[2].SetOverwrite(true); },
        [&] { content.schemas[2].SetRoot(true); },
        [&] { content.schemas[2].SetCpeEditable(true); },
        [&] { content.schemas[2].SetGetFromAgent(true); },
        [&] { content.schemas[2].SetGetLatestCompatible(true); },
        [&] { content.schemas.pop_back(); },
        [&] { content.modules[0].SetName(L"renamed"); },
        [&] { content.modules[0].SetVersion(L"2.0"); },
        [&] { content.modules[1].SetStatus(OVX_E_UNEXPECTED); },
        [&] { content.modules[1].SetStatus(OVX_I_CML_STATUS_NOT_SET); },
        [&] { content.modules[2].AddPolicy(policy); },
        [&] { content.modules.pop_back(); },
        [] { SetSerializeDefaults(true); },
    };
    for (const bool wide : {false, true}) {
        const std::string first = here(1, wide);
        EXPECT_EQ(fresh(1, wide), first) << wide;
        EXPECT_EQ(first, here(1, wide)) << wide;
        EXPECT_EQ(fresh(3, wide), here(3, wide)) << wide;  // at another depth
    }
    std::string before = here(1, false);
    for (size_t i = 0; i < changes.size(); ++i) {
        changes[i]();
        const std::string again = here(1, false);
        EXPECT_NE(before, again) << i;
        EXPECT_EQ(fresh(1, false), again) << i;
        before = again;
    }
    EXPECT_EQ(fresh(1, true), here(1, true));
    SetSerializeDefaults(false);
}
