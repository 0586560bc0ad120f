// users: who may log in to the NUT server, read from a file in upsd.users' format.
#ifndef QAVD_NUT_USERS_H
#define QAVD_NUT_USERS_H

#include <string>
#include <vector>

/** One user of the NUT server. */
struct NutUser {
    std::string name;     ///< The section's name.
    std::string password; ///< Never empty.
    bool upsmon = false;  ///< An upsmon line was given: the user may LOGIN.
    bool primary = false; ///< "upsmon primary" (or "master"): also PRIMARY and FSD.
};

/**
 * Read users from @p path: "[name]" sections, each with "password = ..."
 * (quoted when it holds spaces) and optionally "upsmon primary" or "upsmon
 * secondary" ("master" and "slave" are the old words). "actions" and
 * "instcmds" lines are ignored with a warning; "#" starts a comment. Anything
 * else, a user given twice, a user without a password, or a file over 64 KiB
 * is an error.
 *
 * @param path     The file.
 * @param users    Receives the users. Must not be null.
 * @param warnings Receives one text per ignored line, naming the file and line. Must not be null.
 * @return An empty text, or what is wrong, naming the file and line.
 */
std::string readNutUsers(const std::string& path, std::vector<NutUser>* users, std::vector<std::string>* warnings);

/**
 * Split a line into words: spaces and tabs separate them, and a word in
 * double quotes may hold spaces, with \" and \\ standing for " and \.
 *
 * @param line  The line, without its line end.
 * @param words Receives the words. Must not be null.
 * @return false when a quote is not closed or a backslash ends the line.
 */
bool splitWords(const std::string& line, std::vector<std::string>* words);

#endif
