// The simulator's state for an operator: as JSON and as the status page.
#include "Simulator.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlParser.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"
#include "cml/documents/cmlTrust.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxDigest.h"
#include "tools/ovxGuid.h"
#include "SimSupport.h"

using namespace ovx::cml;

namespace ovxSim {

using namespace support;

std::string Simulator::StatusJson() {
    std::lock_guard<std::mutex> hold(m_lock);
    std::string out = "{\"server\":" + JsonText(m_config.name) + ",\"agents\":[";
    sqlite3_stmt* agents = nullptr;
    sqlite3_prepare_v2(m_db,
                       "SELECT id, name, grp, heartbeats, last_heartbeat, alive, last_alive FROM agents ORDER BY id",
                       -1, &agents, nullptr);
    auto column = [](sqlite3_stmt* statement, int index) {
        const unsigned char* text = sqlite3_column_text(statement, index);
        return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
    };
    bool first = true;
    while (agents != nullptr && sqlite3_step(agents) == SQLITE_ROW) {
        const std::string id = column(agents, 0);
        out += std::string(first ? "" : ",") + "{\"id\":" + JsonText(id) + ",\"name\":" + JsonText(column(agents, 1)) +
               ",\"group\":" + JsonText(column(agents, 2)) +
               ",\"heartbeats\":" + std::to_string(sqlite3_column_int(agents, 3)) +
               ",\"lastHeartbeat\":" + JsonText(column(agents, 4)) +
               ",\"alive\":" + std::to_string(sqlite3_column_int(agents, 5)) +
               ",\"lastAlive\":" + JsonText(column(agents, 6));
        first = false;
        for (const char* tag : {"error-response", "get-schema-response"}) {
            sqlite3_stmt* count = nullptr;
            sqlite3_prepare_v2(m_db, "SELECT COUNT(*) FROM answers WHERE agent = ?1 AND tag = ?2", -1, &count, nullptr);
            sqlite3_bind_text(count, 1, id.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(count, 2, tag, -1, SQLITE_TRANSIENT);
            const int answers =
                count != nullptr && sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int(count, 0) : 0;
            sqlite3_finalize(count);
            out += std::string(",\"") + tag + "s\":" + std::to_string(answers);
        }
        for (const char* table : {"modules", "policies"}) {
            out += std::string(",\"") + table + "\":[";
            sqlite3_stmt* rows = nullptr;
            const std::string sql = std::string("SELECT name FROM ") + table + " WHERE agent = ?1 ORDER BY name";
            sqlite3_prepare_v2(m_db, sql.c_str(), -1, &rows, nullptr);
            sqlite3_bind_text(rows, 1, id.c_str(), -1, SQLITE_TRANSIENT);
            bool firstRow = true;
            while (rows != nullptr && sqlite3_step(rows) == SQLITE_ROW) {
                out += std::string(firstRow ? "" : ",") + JsonText(column(rows, 0));
                firstRow = false;
            }
            sqlite3_finalize(rows);
            out += "]";
        }
        out += "}";
    }
    sqlite3_finalize(agents);
    return out + "]}";
}

std::string Simulator::StatusPage() {
    std::string page =
        "<!DOCTYPE html><html><head><meta charset='utf-8'><meta http-equiv='refresh' content='5'>"
        "<title>Agent Manager simulator: " +
        HtmlText(m_config.name) +
        "</title><style>"
        "body{font-family:sans-serif;margin:2em;background:#f7f7f4;color:#222}"
        "table{border-collapse:collapse;background:#fff}td,th{border:1px solid #ccc;padding:.4em .8em;text-align:left}"
        "th{background:#2d5f8a;color:#fff}h1{color:#2d5f8a}</style></head><body><h1>Agent Manager simulator: " +
        HtmlText(m_config.name) +
        "</h1><table id='agents'><tr><th>Agent</th><th>Name</th><th>Group</th>"
        "<th>Heartbeats</th><th>Last heartbeat</th><th>Alive</th><th>Last alive</th><th>Modules</th><th>Policies</th></tr>";
    std::lock_guard<std::mutex> hold(m_lock);
    sqlite3_stmt* agents = nullptr;
    sqlite3_prepare_v2(m_db,
                       "SELECT id, name, grp, heartbeats, last_heartbeat, alive, last_alive FROM agents ORDER BY id",
                       -1, &agents, nullptr);
    auto column = [](sqlite3_stmt* statement, int index) {
        const unsigned char* text = sqlite3_column_text(statement, index);
        return HtmlText(text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text)));
    };
    while (agents != nullptr && sqlite3_step(agents) == SQLITE_ROW) {
        const std::string id = reinterpret_cast<const char*>(sqlite3_column_text(agents, 0));
        page += "<tr class='agent'><td>" + column(agents, 0) + "</td><td>" + column(agents, 1) + "</td><td>" +
                column(agents, 2) + "</td><td>" + column(agents, 3) + "</td><td>" + column(agents, 4) + "</td><td>" +
                column(agents, 5) + "</td><td>" + column(agents, 6) + "</td>";
        for (const char* table : {"modules", "policies"}) {
            std::string cell;
            sqlite3_stmt* rows = nullptr;
            const std::string sql = std::string("SELECT name FROM ") + table + " WHERE agent = ?1 ORDER BY name";
            sqlite3_prepare_v2(m_db, sql.c_str(), -1, &rows, nullptr);
            sqlite3_bind_text(rows, 1, id.c_str(), -1, SQLITE_TRANSIENT);
            while (rows != nullptr && sqlite3_step(rows) == SQLITE_ROW)
                cell += (cell.empty() ? "" : ", ") + column(rows, 0);
            sqlite3_finalize(rows);
            page += "<td>" + cell + "</td>";
        }
        page += "</tr>";
    }
    sqlite3_finalize(agents);
    return page + "</table></body></html>";
}

}  // namespace ovxSim
