#pragma once

// A group of the system's group database for the life of one test, made with groupadd and
// removed with groupdel: for a refusal that rests on what the database says (a user listed in
// a group since the login). Root only; CI runs as root on a machine of its own.

#include <chrono>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace movarth::test {

class TTemporaryGroup
{
public:
    // A new group listing `members` (user names, comma-separated; may be empty).
    explicit TTemporaryGroup(const std::string& members)
    {
        if (::geteuid() != 0) return;
        static int made = 0;
        const std::string name =
            "movarth-test-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
        const std::string command = "groupadd" + (members.empty() ? "" : " -U " + members) + " " +
                                    name + " >/dev/null 2>&1";
        // groupadd refuses while another program has the group files locked: try again.
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (std::system(command.c_str()) == 0) {
                name_ = name;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (const group* entry = name_.empty() ? nullptr : ::getgrnam(name_.c_str()))
            gid_ = entry->gr_gid;
    }
    ~TTemporaryGroup()
    {
        if (!name_.empty()) (void)std::system(("groupdel " + name_ + " >/dev/null 2>&1").c_str());
    }
    TTemporaryGroup(const TTemporaryGroup&) = delete;
    TTemporaryGroup& operator=(const TTemporaryGroup&) = delete;

    // False when it could not be made (not root, no groupadd).
    bool Ok() const { return gid_ != static_cast<gid_t>(-1); }
    const std::string& Name() const { return name_; }
    gid_t Gid() const { return gid_; }

private:
    std::string name_;
    gid_t gid_ = static_cast<gid_t>(-1);
};

} // namespace movarth::test
