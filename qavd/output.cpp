// output: names of poll outcomes, and a site's outputs shared by its batteries' poll loops.
#include "output.h"

const char* pollResultName(PollResult result)
{
    switch (result) {
    case PollResult::accepted: return "accepted";
    case PollResult::timeout: return "timeout";
    case PollResult::shortAnswer: return "short";
    case PollResult::longAnswer: return "long";
    case PollResult::malformed: return "malformed";
    case PollResult::disconnected: return "disconnected";
    }
    return "unknown";
}


namespace {

// One of a site's outputs as one battery's poll loop reaches it: each call under the
// site's lock, rotate() and finish() left to the site.
class SharedOutput final : public Output {
public:
    SharedOutput(Output& shared, std::mutex& siteLock) : output(shared), lock(siteLock) {}
    void accepted(const Reading& reading) override { locked([&] { output.accepted(reading); }); }
    void event(const Event& event) override { locked([&] { output.event(event); }); }
    void polled(PollResult result) override { locked([&] { output.polled(result); }); }
    void connected(bool ok) override { locked([&] { output.connected(ok); }); }
    void freshness(bool fresh) override { locked([&] { output.freshness(fresh); }); }
    void dropped(const char* name, std::uint64_t total) override { locked([&] { output.dropped(name, total); }); }
    void state(const BatterySnapshot& snapshot) override { locked([&] { output.state(snapshot); }); }
    std::string forcedShutdownBy(const std::string& battery) const override
    {
        std::lock_guard<std::mutex> held(lock);
        return output.forcedShutdownBy(battery);
    }
    std::pair<const char*, std::uint64_t> drops() const override
    {
        std::lock_guard<std::mutex> held(lock);
        return output.drops();
    }

private:
    template <typename Call> void locked(Call call)
    {
        std::lock_guard<std::mutex> held(lock);
        call();
    }
    Output& output;
    std::mutex& lock;
};

} // namespace

void Outputs::shareWith(Outputs& battery, std::mutex& lock) const
{
    for (const auto& o : all) battery.add(std::make_unique<SharedOutput>(*o, lock));
}
