// The bare tools an agent could use instead of the library: one kept-alive
// libcurl handle and one Xerces DOM parser; on the agent's own thread, or
// behind the same thread hand-offs the library's design makes (a sender
// thread that posts and, unless a second thread parses, parses; the result
// handed back through a condition variable). Used by bench_real_path.cpp.
#ifndef OVX_BENCH_BAREFLOOR_H
#define OVX_BENCH_BAREFLOOR_H

#include <curl/curl.h>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace ovxBench {

inline size_t CollectAnswer(char* data, size_t size, size_t count, void* sink) {
    static_cast<std::string*>(sink)->append(data, size * count);
    return size * count;
}

class CBare {
public:
    CBare(const std::string& url, const std::string& caFile) : m_url(url), m_caFile(caFile) {
        m_curl = curl_easy_init();
        m_headers = curl_slist_append(nullptr, "Content-Type: application/x-ovx-cml-data; charset=UTF-8");
        // No "Expect: 100-continue" round trip for the larger bodies, as the
        // library sends none: the baseline is libcurl used well.
        m_headers = curl_slist_append(m_headers, "Expect:");
        // As the library sets it, and as libcurl asks of a program with
        // threads: no signal handling around each transfer.
        curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
        m_parser.setDoNamespaces(true);
    }
    ~CBare() {
        curl_slist_free_all(m_headers);
        curl_easy_cleanup(m_curl);
    }
    CBare(const CBare&) = delete;
    CBare& operator=(const CBare&) = delete;
    // Posts `body`; the answer into `answer`.
    bool Post(const std::string& body, std::string& answer) {
        answer.clear();
        curl_easy_setopt(m_curl, CURLOPT_URL, m_url.c_str());
        if (!m_caFile.empty()) curl_easy_setopt(m_curl, CURLOPT_CAINFO, m_caFile.c_str());
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers);
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &CollectAnswer);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &answer);
        return curl_easy_perform(m_curl) == CURLE_OK && !answer.empty();
    }
    bool Parse(const std::string& answer) {
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(answer.data()), answer.size(), "answer",
                                          false);
        m_parser.parse(source);
        const bool parsed = m_parser.getDocument() != nullptr && m_parser.getDocument()->getDocumentElement();
        m_parser.resetDocumentPool();
        return parsed;
    }
    bool RoundTrip(const std::string& body) { return Post(body, m_answer) && Parse(m_answer); }

private:
    std::string m_url, m_caFile, m_answer;
    CURL* m_curl = nullptr;
    curl_slist* m_headers = nullptr;
    xercesc::XercesDOMParser m_parser;
};

// The bare tools behind the hand-offs: RoundTrip() hands the body to the
// sender thread and waits until the parse is done.
class CBareBehindThreads {
public:
    CBareBehindThreads(const std::string& url, const std::string& caFile, bool parseThread)
        : m_bare(url, caFile), m_parseThread(parseThread) {
        m_sender = std::thread([this] { Sender(); });
        if (m_parseThread) m_parser = std::thread([this] { Parser(); });
    }
    ~CBareBehindThreads() {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_stop = true;
        }
        m_senderWake.notify_all();
        m_parserWake.notify_all();
        m_sender.join();
        if (m_parser.joinable()) m_parser.join();
    }
    CBareBehindThreads(const CBareBehindThreads&) = delete;
    CBareBehindThreads& operator=(const CBareBehindThreads&) = delete;

    // Every hand-off wakes its thread after letting go of the lock, as the
    // library's events do: woken while it is held, the thread would run only
    // to sleep on the lock again.
    bool RoundTrip(const std::string& body) {
        std::unique_lock<std::mutex> hold(m_lock);
        m_body = &body;
        const long before = m_done;
        hold.unlock();
        m_senderWake.notify_one();
        hold.lock();
        // Bounded as the agent's wait for its callback is: the same kind of
        // wait on both sides.
        if (!m_doneWake.wait_for(hold, std::chrono::seconds(10), [&] { return m_done != before; })) return false;
        return m_ok;
    }

private:
    void Sender() {
        std::string answer;
        std::unique_lock<std::mutex> hold(m_lock);
        for (;;) {
            m_senderWake.wait(hold, [&] { return m_stop || m_body != nullptr; });
            if (m_stop) return;
            const std::string* body = m_body;
            m_body = nullptr;
            hold.unlock();
            bool ok = m_bare.Post(*body, answer);
            if (ok && m_parseThread) {
                hold.lock();
                m_answer.swap(answer);
                m_answerReady = true;
                hold.unlock();
                m_parserWake.notify_one();
                hold.lock();
                continue;
            }
            if (ok) ok = m_bare.Parse(answer);
            hold.lock();
            Finish(ok, hold);
        }
    }
    void Parser() {
        std::string answer;
        std::unique_lock<std::mutex> hold(m_lock);
        for (;;) {
            m_parserWake.wait(hold, [&] { return m_stop || m_answerReady; });
            if (m_stop) return;
            m_answerReady = false;
            answer.swap(m_answer);
            hold.unlock();
            const bool ok = m_bare.Parse(answer);
            hold.lock();
            Finish(ok, hold);
        }
    }
    // Called with the lock held; returns with it held.
    void Finish(bool ok, std::unique_lock<std::mutex>& hold) {
        m_ok = ok;
        ++m_done;
        hold.unlock();
        m_doneWake.notify_one();
        hold.lock();
    }

    CBare m_bare;
    const bool m_parseThread;
    std::mutex m_lock;
    std::condition_variable m_senderWake, m_parserWake, m_doneWake;
    const std::string* m_body = nullptr;
    std::string m_answer;
    bool m_answerReady = false, m_stop = false, m_ok = false;
    long m_done = 0;
    std::thread m_sender, m_parser;
};

}  // namespace ovxBench

#endif  // OVX_BENCH_BAREFLOOR_H
