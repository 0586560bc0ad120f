// site: the batteries one qavd serves, each with its own settings.
#ifndef QAVD_SITE_H
#define QAVD_SITE_H

#include "options.h"

#include <string>
#include <vector>

/**
 * What one qavd serves: one battery, or a site of several (a config file with
 * a [NAME] section per battery, or --battery). Every exporter is handed the
 * site at start, and then a snapshot of each battery after each of its polls
 * (see output.h); the core calls an output for one battery at a time, never
 * for two at once.
 */
struct Site {
    std::string name;                     ///< The site's name: --name with sections, else the battery's.
    std::vector<DaemonOptions> batteries; ///< Each battery's settings, in the order configured; never empty.

    /** @return true with more than one battery: the outputs show a site then, else one battery as before. */
    bool several() const { return batteries.size() > 1; }
};

/**
 * The address of one battery's page as a browser reaches it, for links to it
 * (Home Assistant's configuration_url): --public-url itself with one battery,
 * "URL/battery/NAME/" in a site of several.
 *
 * @return The address, or "" when --public-url is empty.
 */
std::string batteryPageUrl(const Site& site, const std::string& battery);

#endif
