// battery_model: a battery that charges and discharges by a profile, for the simulator and the benchmarks.
#include "battery_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <numeric>

const char* const defaultProfile = "300:+20, 600:-20, 300:-30, 900:+20";

std::string parseProfile(const std::string& text, std::vector<ProfileStep>* steps)
{
    steps->clear();
    std::string token;
    auto take = [&]() -> std::string {
        if (token.empty()) return "";
        std::size_t colon = token.find(':');
        char* end = nullptr;
        double seconds = std::strtod(token.c_str(), &end);
        bool good = colon != std::string::npos && end == token.c_str() + colon;
        double amperes = good ? std::strtod(token.c_str() + colon + 1, &end) : 0;
        good = good && *end == '\0' && end != token.c_str() + colon + 1;
        if (!good || !(seconds > 0) || !(std::abs(amperes) <= 300))
            return "\"" + token + "\" is not SECONDS:AMPERES with seconds above 0 and amperes -300 to 300";
        steps->push_back({seconds, amperes});
        token.clear();
        return "";
    };
    bool comment = false;
    for (char c : text + "\n") {
        if (c == '\n') comment = false;
        if (c == '#') comment = true;
        if (comment) continue;
        if (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (std::string wrong = take(); !wrong.empty()) return wrong;
        } else {
            token += c;
        }
    }
    return steps->empty() ? "the profile has no steps" : "";
}

namespace {

// Seconds the profile lasts before it repeats.
double profileLength(const std::vector<ProfileStep>& profile)
{
    return std::accumulate(profile.begin(), profile.end(), 0.0,
                           [](double sum, const ProfileStep& step) { return sum + step.seconds; });
}

// The step at time, and the seconds left in it.
const ProfileStep& stepAt(const std::vector<ProfileStep>& profile, double time, double* left)
{
    double at = std::fmod(time, profileLength(profile));
    for (const ProfileStep& step : profile) {
        if (at < step.seconds) {
            *left = step.seconds - at;
            return step;
        }
        at -= step.seconds;
    }
    *left = profile.front().seconds;
    return profile.front();
}

// The current that flows with this much charge when the profile asks for amperes.
double flowing(double amperes, double charge, double capacity)
{
    if (amperes > 0 && charge >= capacity) return 0;
    if (amperes < 0 && charge <= 0) return 0;
    return amperes;
}

} // namespace

double profileAmperes(const std::vector<ProfileStep>& profile, double time)
{
    double left = 0;
    return stepAt(profile, time, &left).amperes;
}

double modelAmperes(const BatteryModel& model)
{
    return flowing(profileAmperes(model.profile, model.time), model.charge, presentCapacity(model));
}

double presentCapacity(const BatteryModel& model)
{
    return model.capacity * std::max(0.01, 1 - model.fade * model.cycles / 10000);
}

double cellResistance(const BatteryModel& model, int index)
{
    return index + 1 == model.weakCell ? model.resistance * model.weakFactor : model.resistance;
}

double stackResistance(const BatteryModel& model)
{
    double sum = 0;
    for (int index = 0; index < 8; index++) sum += cellResistance(model, index);
    return sum;
}

void advanceModel(BatteryModel* model, double time)
{
    while (model->time < time) {
        double left = 0;
        double amperes = stepAt(model->profile, model->time, &left).amperes;
        double span = std::min(left, time - model->time);
        double added = amperes * span / 3600;
        if (added >= 0) {
            model->charge = std::min(model->charge + added, presentCapacity(*model));
        } else {
            // What flows out ages the battery; the load stops at empty.
            double out = std::min(-added, model->charge);
            model->charge -= out;
            model->cycles += out / model->capacity;
            model->charge = std::min(model->charge, presentCapacity(*model));
        }
        model->time += span;
    }
}

double secondsToEmpty(const BatteryModel& model)
{
    if (modelAmperes(model) >= 0) return -1;
    double charge = model.charge, time = model.time, length = profileLength(model.profile);
    for (double played = 0; played < 10 * length;) {
        double left = 0;
        double amperes = stepAt(model.profile, time, &left).amperes;
        if (amperes >= 0) return -1;
        double span = std::min(left, charge / -amperes * 3600);
        charge += amperes * span / 3600;
        time += span;
        played += span;
        if (charge <= 1e-12) return time - model.time;
    }
    return -1;
}

ModelAnswer modelAnswer(const BatteryModel& model, unsigned* noise)
{
    ModelAnswer answer{};
    double soc = model.charge / presentCapacity(model);
    double amperes = modelAmperes(model);
    answer.gauge = static_cast<int>(std::lround(soc * 10000));
    *noise = *noise * 1103515245U + 12345U;
    int jitter = static_cast<int>((*noise >> 16) % 5U) - 2;
    answer.current = amperes == 0 ? 0 : static_cast<int>(std::lround(amperes * 100)) + jitter;
    for (int index = 0; index < 8; index++) {
        long millivolts = std::lround(3200 + 1000 * soc + cellResistance(model, index) * amperes);
        answer.cellMillivolts[index] = static_cast<int>(std::clamp(millivolts, 0L, 65535L));
    }
    answer.modeBits = amperes > 0 ? 0x0400U : amperes < 0 ? 0x0200U : 0;
    return answer;
}
