// secrets: files read at start, those holding secrets above all, and systemd's credentials.
#ifndef QAVD_SECRETS_H
#define QAVD_SECRETS_H

#include <cstddef>
#include <string>

namespace CLI {
class Validator;
}

/**
 * Where systemd put a credential of the service (LoadCredential=NAME:PATH).
 *
 * @param name The credential's name, such as "mqtt-password".
 * @return $CREDENTIALS_DIRECTORY/NAME when the variable is set and that file
 *         exists; "" otherwise.
 */
std::string credentialPath(const std::string& name);

/**
 * Check that a file holding a secret is kept from other users.
 *
 * @param path The file.
 * @return A warning naming the file when others may read it; "" otherwise.
 */
std::string exposedSecret(const std::string& path);

/**
 * Read a file given at start. It must be a regular file, and is opened
 * without blocking, so a FIFO or a device is refused at once, never waited on.
 *
 * @param path   The file.
 * @param limit  Most bytes wanted; one more is read when there, so the caller can tell a longer file.
 * @param secret true for a file of passwords: refused when anyone but its owner and root may write it.
 * @param text   Receives what was read. Must not be null.
 * @return An empty text, or what is wrong, naming the file (and its mode).
 */
std::string readStartFile(const std::string& path, std::size_t limit, bool secret, std::string* text);

/** A check for an option naming a file read at start: a regular file, opened without blocking. */
CLI::Validator startFile();

#endif
