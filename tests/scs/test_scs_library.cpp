// Destinations, settings files, the server list, the agent id and the
// settings-changed callbacks of the SCS library.
#include <atomic>

#include "scs/ScsFixture.h"

using namespace ovxTest;

namespace {

std::string Take(char* text) {
    std::string value = text != nullptr ? text : "(null)";
    SCS_Free(text);
    return value;
}

uint32_t Count(int32_t destination) {
    uint32_t count = 0;
    EXPECT_EQ(0u, SCS_GetServerCount(destination, &count));
    return count;
}

// An added server is saved with the group section and reads back the same;
// values a settings file cannot hold are refused and change nothing.
TEST_F(ScsFixture, AddedServersPersistAndReloadTheSame) {
    ASSERT_EQ(0u, SCS_AddServer(destination, 0, "first", "https://127.0.0.1:8443", "/etc/ca.pem", nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, "inserted", 1));
    EXPECT_EQ(3u, Count(destination));
    EXPECT_THAT(ReadText(commFile), HasSubstr("url=https://127.0.0.1:8443"));
    ASSERT_EQ(0u, SCS_LoadCommSettingsFile(destination, commFile.c_str()));
    // The ten fields of a server: name, url, caFile, ..., site, description.
    char* f[10] = {};
    ASSERT_EQ(0u,
              SCS_GetServerInfo(destination, 0, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]));
    std::vector<std::string> fields;
    for (char* field : f) fields.push_back(Take(field));
    EXPECT_EQ("first /etc/ca.pem inserted", fields[0] + " " + fields[2] + " " + fields[9]);
    char *version = nullptr, *hint = nullptr;  // of the comm settings
    EXPECT_EQ("0 1.2 Servers",
              Joined({SCS_GetCommSettingsInfo(destination, 0, 0, &version, &hint), Take(version), Take(hint)}));
    EXPECT_EQ(Joined({0, OVX_E_SCS_NO_SUCH_SERVER}),
              Joined({SCS_DeleteServer(destination, 0), SCS_DeleteServer(destination, 5)}));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SCS_AddServer(destination, -1, "x", "http://127.0.0.1:1\n[server.9]", nullptr,
                                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SCS_AddServer(destination, -1, "x", nullptr, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(2u, Count(destination));
}

// A file with errors is refused and the settings in force stay; a
// destination or a setting named wrongly is refused.
TEST_F(ScsFixture, AFileWithErrorsOrADestinationNamedWronglyIsRefused) {
    std::string broken = dir + "/broken.ini";
    WriteText(broken, "[server.1]\nurl=http://127.0.0.1:9\nnot a setting\n");
    EXPECT_EQ(Joined({OVX_E_SCS_SETTINGS_SYNTAX, 1, 2}),
              Joined({SCS_LoadCommSettingsFile(destination, broken.c_str()), Traced("has a syntax error at line 3"),
                      Count(destination)}));
    WriteText(broken, "[server.1]\nname=no url\n");
    EXPECT_EQ(OVX_E_SCS_SETTINGS_SYNTAX, SCS_LoadCommSettingsFile(destination, broken.c_str()));
    int32_t other = -1;  // the second file, a folder, the local settings of another destination
    EXPECT_EQ(Joined({OVX_E_SCS_SETTINGS_READ, OVX_E_SCS_SETTINGS_READ, OVX_E_SCS_SETTINGS_READ, -1}),
              Joined({SCS_LoadCommSettingsFile(destination, (dir + "/absent.ini").c_str()),
                      SCS_LoadLocalSettingsFile(destination, dir.c_str()),
                      SCS_AddDestinationFiles(localFile.c_str(), (dir + "/nope").c_str(), &other), other}));
    char* value = nullptr;
    EXPECT_EQ(Joined({OVX_E_SCS_UNKNOWN_DESTINATION, OVX_E_INVALID_ARGUMENT, OVX_E_SCS_UNKNOWN_DESTINATION}),
              Joined({SCS_RetrieveLocalSettingsValue(99, "a", "b", &value),
                      SCS_RetrieveLocalSettingsValue(destination, nullptr, "b", &value), SCS_RemoveDestination(99)}));
}

TEST_F(ScsFixture, AgentIdsAreKeptInTheirFile) {
    char* id = nullptr;
    ASSERT_EQ("0 (null)", Joined({SCS_GetAgentId(&id), id}));
    ASSERT_EQ("0 0 0 agent-42",
              Joined({SCS_SetAgentId("agent-42"), SCS_SetLastGoodAgentId("agent-41"), SCS_GetAgentId(&id), Take(id)}));
    EXPECT_THAT(ReadText(dir + "/agent-id.ini"), AllOf(HasSubstr("id=agent-42"), HasSubstr("lastGoodId=agent-41")));
    // A new session reads them back.
    ASSERT_EQ(0u, SCS_ShutDown());
    ASSERT_EQ(0u, SCS_Init("5.9", "ovx-tests", nullptr, nullptr));
    ASSERT_EQ(0u, SCS_AddDestinationFiles(localFile.c_str(), commFile.c_str(), &destination));
    ASSERT_EQ("0 agent-42", Joined({SCS_GetAgentId(&id), Take(id)}));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SCS_SetAgentId("two\nlines"));
    // An id kept from the file is written back as long as its own line can
    // hold it; one from a continuation line too long for "lastGoodId=" is not.
    for (const auto& [kept, status] :
         {std::pair{std::string(170, 'g'), 0u}, std::pair{"x\n  " + std::string(190, 'g'), OVX_E_SCS_SETTINGS_WRITE}}) {
        const std::string text = "[agent]\nid=agent-42\nlastGoodId=" + kept + "\n";
        ASSERT_EQ(0u, SCS_ShutDown());
        WriteText(dir + "/agent-id.ini", text);
        ASSERT_EQ(0u, SCS_Init("5.9", "ovx-tests", nullptr, &sink));
        ASSERT_EQ(0u, SCS_AddDestinationFiles(localFile.c_str(), commFile.c_str(), &destination));
        EXPECT_EQ(Joined({status, status == 0 ? "id=agent-43" : "id=agent-42"}),
                  Joined({SCS_SetAgentId("agent-43"), ReadText(dir + "/agent-id.ini").substr(8, 11)}));
    }
    EXPECT_EQ(
        1u, TraceLines::CountAt("SCS_SetAgentId()",
                                "The value of 'lastGoodId' would not read back from a settings file: nothing written"));
}

// A continuation line can give a value too long for its key's own line:
// written back, the file would no longer read. Saving, and persisting an
// added server, are refused instead, and change nothing.
class LongContinuedValue : public ScsFixture {
    std::string CommSettings() override {
        // 197 characters: within the longest line read; "url=" and the value are not.
        return "[server.1]\nurl=http://127.0.0.1:1\n  http://127.0.0.1:1/" + std::string(176, 'p') + "\n";
    }
};

TEST_F(LongContinuedValue, IsNeverWrittenIntoAFileThatCannotBeRead) {
    const std::string before = ReadText(commFile), traced = "The value of 'url' would not read back";
    EXPECT_EQ(Joined({OVX_E_SCS_SETTINGS_WRITE, OVX_E_SCS_SETTINGS_WRITE, 1, 1, 1, before}),
              Joined({SCS_SaveCommSettings(destination, nullptr),
                      SCS_AddServer(destination, -1, "x", "http://127.0.0.1:3", nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, 1),
                      TraceLines::CountAt("SCS_SaveCommSettings()", traced + " from a settings file: nothing written"),
                      TraceLines::CountAt("SCS_AddServer()", traced + " from a settings file: nothing written"),
                      Count(destination), ReadText(commFile)}));
    EXPECT_EQ(0u, SCS_LoadCommSettingsFile(destination, commFile.c_str()));
}

// The trace sink is the agent's, and may call back in: a failed write of the
// agent id file is traced once the library's lock is released.
class UnwritableAgentIdFile : public ScsFixture {
protected:
    std::string LocalSettings() override { return "[scs]\nagentIdFile=" + dir + "/absent/agent-id.ini\n"; }
    static uint32_t CallingBackIn(uint32_t, uint32_t, const char* text, const char* where) {
        char* id = nullptr;
        if (SCS_GetAgentId(&id) == 0) ++s_linesSeen;
        SCS_Free(id);
        return TraceLines::Sink().write(0, SS_TRACE_ERROR, text, where);
    }
    static inline std::atomic<int> s_linesSeen{0};
};

TEST_F(UnwritableAgentIdFile, IsTracedToASinkThatCallsBackIn) {
    SS_TraceSink callingBack = {0, SS_TRACE_ERROR, &CallingBackIn};
    ASSERT_EQ(0u, SCS_ShutDown());
    ASSERT_EQ(0u, SCS_Init("5.9", "ovx-tests", nullptr, &callingBack));
    ASSERT_EQ(0u, SCS_AddDestinationFiles(localFile.c_str(), commFile.c_str(), &destination));
    const std::string traced = "Unable to write the agent id file '" + dir + "/absent/agent-id.ini' (error 2)";
    EXPECT_EQ(Joined({OVX_E_SCS_SETTINGS_WRITE, OVX_E_SCS_SETTINGS_WRITE, 2, 1, 1}),
              Joined({SCS_SetAgentId("agent-42"), SCS_SetLastGoodAgentId("agent-41"), s_linesSeen.load(),
                      TraceLines::CountAt("SCS_SetAgentId()", traced),
                      TraceLines::CountAt("SCS_SetLastGoodAgentId()", traced)}));
}

std::atomic<int> g_changes{0};
std::atomic<int32_t> g_changedDestination{-1};
std::atomic<uint32_t> g_countSeenInCallback{0};
uint32_t OnChanged(int32_t destination) {
    ++g_changes;
    g_changedDestination = destination;
    g_countSeenInCallback = Count(destination);  // calling back in must not deadlock
    return 0;
}
}  // namespace

// Every reload calls back (a server list appended or in place of the one
// before alike), with the destination, which can be read from the callback.
TEST_F(ScsFixture, SettingsChangedCallbacksRunOnEveryReload) {
    g_changes = 0;
    ASSERT_EQ(0u, SCS_RegisterSettingsChanged(&OnChanged, nullptr));
    ASSERT_EQ(0u, SCS_LoadCommSettingsFile(destination, commFile.c_str()));
    ASSERT_EQ(0u, SCS_LoadLocalSettingsFile(destination, localFile.c_str()));
    std::string list = dir + "/servers.ini";
    WriteText(list, "[server.a]\nurl=http://127.0.0.1:7\n[server.b]\nurl=http://127.0.0.1:8\n");
    ASSERT_EQ("0 4", Joined({SCS_LoadServers(destination, list.c_str(), 0), g_countSeenInCallback.load()}));
    ASSERT_EQ("0 2", Joined({SCS_LoadServers(destination, list.c_str(), 1), g_countSeenInCallback.load()}));
    EXPECT_EQ(Joined({4, destination}), Joined({g_changes.load(), g_changedDestination.load()}));
    WriteText(dir + "/broken.ini", "garbage\n");
    SCS_LoadCommSettingsFile(destination, (dir + "/broken.ini").c_str());
    EXPECT_EQ(4, g_changes.load());  // a refused file is no change
    ASSERT_EQ(0u, SCS_UnregisterSettingsChanged(&OnChanged));
    SCS_LoadCommSettingsFile(destination, commFile.c_str());
    EXPECT_EQ(4, g_changes.load());
}

TEST(ScsUnsupported, TheListenerSideAndHelpersSaySo) {
    EXPECT_EQ(OVX_E_SCS_NOT_SUPPORTED, SCS_SERVER_Init("5.9", "a", nullptr, nullptr));
    int32_t listener = 0;
    EXPECT_EQ(Joined({OVX_E_SCS_NOT_SUPPORTED, -1}),
              Joined({SCS_SERVER_AddListenerFiles("a", "b", &listener), listener}));
    EXPECT_EQ(Joined({OVX_E_SCS_NOT_SUPPORTED, OVX_E_SCS_NOT_SUPPORTED}),
              Joined({SCS_HttpHeadersNew(), SCS_VerifySignedFile()}));
    EXPECT_EQ(OVX_E_SCS_NOT_SUPPORTED, SCS_AddDestination("x", &listener));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SCS_Init("4.0", "a", nullptr, nullptr));
    char text[128];
    ASSERT_EQ(0u, SCS_GetErrorMsg(OVX_E_SCS_SERVER_BUSY, text, sizeof(text)));
    EXPECT_THAT(text, HasSubstr("busy"));
}
