// Unique identifiers (36-character text) for message and request ids: a
// time-based layout with a random node and clock sequence.
#ifndef OVX_TOOLS_OVXGUID_H
#define OVX_TOOLS_OVXGUID_H

#include <cstdint>
#include <string>

namespace ovxToolsLib {

class COVXGuid {
public:
    virtual ~COVXGuid() = default;
    // 0 on success; -1 where this platform has no generator; -5 for a bad text.
    virtual int generate() { return -1; }
    const char* text() const { return m_text; }

protected:
    char m_text[37] = {0};
};

class COVXUXGuid : public COVXGuid {
public:
    COVXUXGuid();
    ~COVXUXGuid() override;
    int generate() override;
    uint16_t creationNumber() const { return m_creationNumber; }
    uint16_t count() const { return m_count; }

private:
    int m_randomSource = 0;  // descriptor, 0 until first use
    uint16_t m_creationNumber;
    uint16_t m_count = 0;
};

class COVXWin32Guid : public COVXGuid {
public:
    int generate() override { return -1; }
};

// C-style helpers: create, generate, read the text, delete.
COVXGuid* ovxGuidCreate();
int ovxGuidGenerate(COVXGuid* guid);
const char* ovxGuidText(const COVXGuid* guid);
void ovxGuidDelete(COVXGuid* guid);

// One new identifier as text ("" when generation failed).
std::string ovxNewGuidText();

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXGUID_H
