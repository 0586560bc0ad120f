// Fuzz target: arbitrary request lines through the NUT protocol on two connections, and the users file reader.
#include "protocol.h"
#include "users.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// Stop on a reply that is not whole lines, or a list that does not end with its own END LIST line.
static void checkReply(const std::string& reply)
{
    if (!reply.empty() && reply.back() != '\n') std::abort();
    if (reply.rfind("BEGIN LIST ", 0) != 0) return;
    std::string end = "END LIST " + reply.substr(11, reply.find('\n') - 11) + "\n";
    if (reply.size() < end.size() || reply.compare(reply.size() - end.size(), end.size(), end) != 0) std::abort();
}

// Read the input as a users file too; it must never crash, and every user it gives has a password.
static void readAsUsersFile(const uint8_t* data, size_t size)
{
    char path[] = "/tmp/nut_fuzz_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fd);
    std::vector<NutUser> users;
    std::vector<std::string> warnings;
    if (readNutUsers(path, &users, &warnings).empty())
        for (const NutUser& user : users)
            if (user.password.empty()) std::abort();
    unlink(path);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NutProtocol protocol("b1", {{"u", "p", true, true}}, [](int, const std::string&) {});
    NutData fresh{true, {{"battery.charge", "85.0"}, {"ups.status", "OL"}}};
    NutSession sessions[2];
    std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (int line = 0; start < text.size(); line++) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        bool close = false;
        checkReply(protocol.reply(sessions[line % 2], text.substr(start, end - start), fresh, &close));
        start = end + 1;
    }
    readAsUsersFile(data, size);
    return 0;
}
