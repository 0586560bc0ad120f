// Fuzz target: arbitrary request lines through the NUT protocol of a two-UPS site (one fresh,
// one stale), alternating between two connections.
#include "protocol.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// Stop on a reply that is not whole lines, or a list that does not end with its own END LIST line.
static void checkReply(const std::string& reply)
{
    if (!reply.empty() && reply.back() != '\n') std::abort();
    if (reply.rfind("BEGIN LIST ", 0) != 0) return;
    std::string end = "END LIST " + reply.substr(11, reply.find('\n') - 11) + "\n";
    if (reply.size() < end.size() || reply.compare(reply.size() - end.size(), end.size(), end) != 0) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NutProtocol protocol({"b1", "rack2"}, {{"u", "p", true, true}}, [](int, const std::string&) {});
    auto fresh = std::make_shared<const NutUpsData>([] {
        return std::vector<NutVariable>{{"battery.charge", "85.0"}, {"ups.status", "OL"}};
    });
    NutData site{{fresh, nullptr}};
    NutSession sessions[2];
    std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (int line = 0; start < text.size(); line++) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        bool close = false;
        checkReply(protocol.reply(sessions[line % 2], text.substr(start, end - start), site, &close));
        start = end + 1;
    }
    return 0;
}
