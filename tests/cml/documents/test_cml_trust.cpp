#include "cml/documents/cmlTrust.h"
#include "cml_documents_test_support.h"

using namespace ovx::cml::testing;

namespace {

std::wstring Body(size_t length) {
    static const wchar_t alphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::wstring body;
    for (size_t i = 0; i < length; ++i) body += alphabet[i % 64];
    return body;
}

// `body` cut into lines of `width`, between the boundary lines of `label`.
std::wstring Pem(const std::wstring& label, const std::wstring& body, size_t width) {
    std::wstring text = L"junk before\n-----BEGIN " + label + L"-----\n";
    for (size_t at = 0; at < body.size(); at += width) text += body.substr(at, width) + L"\r\n";
    return text + L"-----END " + label + L"-----\ntrailing";
}

}  // namespace

TEST(Trust, PemKeysSplitAndRejoinAndAShortLabelDoesNotCloseItsBeginLine) {
    for (const std::wstring label : {L"PUBLIC KEY", L"RSA PUBLIC KEY", L"CERTIFICATE"}) {
        for (size_t width : {16u, 64u, 76u, 130u}) {
            SCOPED_TRACE(std::string(label.begin(), label.end()) + " width " + std::to_string(width));
            std::wstring begin, end, body;
            ExtractPemBoundaries(Pem(label, Body(130), width).c_str(), begin, end, body);
            EXPECT_EQ(Joined({L"-----BEGIN " + label + L"-----", L"-----END " + label + L"-----", Body(130)}),
                      Joined({begin, end, body}));
            EXPECT_EQ(begin + L"\n" + Body(130).substr(0, 64) + L"\n" + Body(130).substr(64, 64) + L"\n" +
                          Body(130).substr(128) + L"\n" + end,
                      CCmlKey(body, begin, end, L"RSA", 2048).GetPemText());
        }
    }
    // "-----BEGIN KEY-----" is 19 characters: the search for the closing
    // dashes starts at 20, inside the body's line, so the begin "line" runs
    // on to the end line's dashes, and no end line is left to find.
    std::wstring begin, end, body;
    ExpectRefusal(0, L"Extracting PEM EBs", L"Source string is invalid",
                  [&] { ExtractPemBoundaries(Pem(L"KEY", Body(40), 64).c_str(), begin, end, body); });
    EXPECT_EQ(L"Source string is NULL", Failure([&] { ExtractPemBoundaries(nullptr, begin, end, body); }).GetMessage());
    ExpectRefusal(0, L"", L"Source string is invalid",
                  [&] { ExtractPemBoundaries(L"-----BEGIN PUBLIC KEY-----\nAAAA\n", begin, end, body); });
}

TEST(Trust, KeyElementsReadTheirContentStrictly) {
    CCmlKey key;
    ExpectRefusal(OVX_E_CML_MISSING_ELEMENT, L"", L"Invalid content:  missing key", [&] {
        ReadFrom(key, "<key><![CDATA[-----BEGIN PUBLIC KEY-----\nAA\n-----END PUBLIC KEY-----]]></key>");
    });
    ExpectRefusal(0, L"", L"Invalid content:  missing key", [&] { ReadFrom(key, "<key/>"); });
    ExpectRefusal(0, L"", L"Invalid content", [&] { ReadFrom(key, "<lock>x</lock>"); });
    ReadFrom(key, "<key length='abc'>-----BEGIN PUBLIC KEY-----\nAA AA\n-----END PUBLIC KEY-----</key>");
    EXPECT_EQ(L"0|AAAA|", Joined({key.GetLength(), key.GetKeyBody()}));
    EXPECT_EQ(L"", TextOf<wchar_t>([&](auto& out) { key.WriteAttributes(out); }));
    EXPECT_EQ("    <key></key>\n", TextOf([](auto& out) { CCmlKey().Serialize(out, 1); }));
}

TEST(Trust, ExchangeKeysDocumentsRoundTripAndKeepTheirKeys) {
    CCmlMessage message = Envelope();
    CExchangeKeysRequest request;
    request.AddKey(Pem(L"PUBLIC KEY", Body(130), 64).c_str(), L"RSA", 2048);
    request.AddKey(Pem(L"CERTIFICATE", Body(200), 76).c_str(), nullptr, 0);
    message.AddRequest(request);
    CExchangeKeysResponse response;
    message.AddResponse(response);
    std::unique_ptr<CCmlMessage> back = RoundTrip(message, true);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(Written(message), Written(*back));
    auto* read = dynamic_cast<CExchangeKeysRequest*>(back->GetRequests()[0]);
    auto* readResponse = dynamic_cast<CExchangeKeysResponse*>(back->GetResponses()[0]);
    ASSERT_TRUE(read && readResponse);
    ASSERT_EQ(2u, read->GetKeyCount());
    EXPECT_EQ(Joined({Body(200), 0}), Joined({read->GetKey(1)->GetKeyBody(), readResponse->GetKeyCount()}));

    EXPECT_EQ(L"Invalid vector index", Failure([&] { read->GetKey(2); }).GetMessage());
    EXPECT_EQ(OVX_E_CML_BAD_INDEX, CodeOf([&] { static_cast<const CKeyList&>(*read).GetKey(2); }));
    ExpectRefusal(0, L"", L"Invalid argument", [&] { read->AddKey(static_cast<const wchar_t*>(nullptr), nullptr, 0); });
    ExpectRefusal(0, L"", L"Invalid argument", [&] { read->AddKey(static_cast<CCmlKey*>(nullptr)); });
    // Assignment appends copies of the other's keys to those held.
    CExchangeKeysRequest more;
    more.AddKey(Pem(L"PUBLIC KEY", Body(10), 64).c_str(), nullptr, 0);
    more = *read;
    EXPECT_EQ(3u, more.GetKeyCount());
}
