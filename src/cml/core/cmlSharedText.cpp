#include "cml/core/cmlSharedText.h"

#include <cstddef>
#include <mutex>
#include <new>
#include <unordered_map>

#include "tools/ovxForkHold.h"

namespace ovx {
namespace cml {

namespace {

constexpr size_t kSharedTexts = 1024;
constexpr size_t kSharedLength = 256;
constexpr size_t kSharedCharacters = 64 * 1024;

// The texts held for one kind of character. Never destroyed: an object may
// be made or freed while the process exits.
template <class Char>
struct SharedTexts {
    std::mutex lock;
    // The keys view the texts the values hold.
    std::unordered_map<std::basic_string_view<Char>, std::shared_ptr<const std::basic_string<Char>>> texts;
    size_t characters = 0;

    static SharedTexts& Get() {
        static SharedTexts* shared = new SharedTexts();
        return *shared;
    }
};

// Made while the library loads, before any thread of ours exists.
const ovxToolsLib::ovxForkHold g_narrowForkHold(SharedTexts<char>::Get().lock, ovxToolsLib::ovxForkRank::kLeaf);
const ovxToolsLib::ovxForkHold g_wideForkHold(SharedTexts<wchar_t>::Get().lock, ovxToolsLib::ovxForkRank::kLeaf);

}  // namespace

template <class Char>
std::shared_ptr<const typename CSharedText<Char>::Text> CSharedText<Char>::Share(std::basic_string_view<Char> text) {
    if (text.empty()) return nullptr;
    if (text.size() > kSharedLength) return std::make_shared<const Text>(text);
    SharedTexts<Char>& shared = SharedTexts<Char>::Get();
    std::lock_guard<std::mutex> hold(shared.lock);
    auto found = shared.texts.find(text);
    if (found != shared.texts.end()) return found->second;
    auto made = std::make_shared<const Text>(text);
    if (shared.texts.size() < kSharedTexts && shared.characters + made->size() <= kSharedCharacters) {
        try {  // sharing is best effort: short of memory, the text is its own
            shared.texts.emplace(*made, made);
            shared.characters += made->size();
        } catch (const std::bad_alloc&) {
        }
    }
    return made;
}

template <class Char>
const typename CSharedText<Char>::Text& CSharedText<Char>::Empty() {
    static const Text* const empty = new Text();
    return *empty;
}

template class CSharedText<char>;
template class CSharedText<wchar_t>;

}  // namespace cml
}  // namespace ovx
