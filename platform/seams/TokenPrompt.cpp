#include "platform/seams/TokenPrompt.h"

#include <atomic>

namespace platform::seams {
namespace {
std::atomic<TokenPrompt*> g_prompt{nullptr};
}  // namespace

TokenPrompt* CurrentTokenPrompt() {
    return g_prompt.load();
}

void RegisterTokenPrompt(TokenPrompt* prompt) {
    g_prompt.store(prompt);
}

ScopedTokenPrompt::ScopedTokenPrompt(TokenPrompt* prompt) : m_previous(g_prompt.exchange(prompt)) {}

ScopedTokenPrompt::~ScopedTokenPrompt() {
    g_prompt.store(m_previous);
}

}  // namespace platform::seams
