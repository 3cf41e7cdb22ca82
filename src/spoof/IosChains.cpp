#include "spoof/IosChains.h"

#include "platform/Console.h"
#include "tools/GoIos.h"

IosChain IosChains::chainFor(const AppEnvironment &environment, const QString &udid) const
{
    const IosChain usual = chooseIosChain(environment);
    std::lock_guard lock(mutex_);
    const auto preference = preferred_.constFind(udid);
    if (preference == preferred_.constEnd() || usual == IosChain::None)
        return usual;
    // Only a chain whose tool is there.
    if (*preference == IosChain::GoIos && environment.tools.resolveTool(goios::kTool))
        return IosChain::GoIos;
    if (*preference == IosChain::PyMobileDevice3 && environment.pymobiledevice3())
        return IosChain::PyMobileDevice3;
    return usual;
}

IosChain IosChains::announce(const AppEnvironment &environment, const QString &udid)
{
    const IosChain chain = chainFor(environment, udid);
    if (chain == IosChain::None) {
        consoleLine(kNoIosChainLine);
        return chain;
    }
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        const auto named = named_.constFind(udid);
        changed = named == named_.constEnd() || *named != chain;
        named_.insert(udid, chain);
    }
    if (!changed)
        return chain;
    if (chain == chooseIosChain(environment))
        consoleLine(chainAnnouncement(chain, environment));
    else
        consoleLine(QStringLiteral("iOS 17+ chain for ") + udid
                    + (chain == IosChain::GoIos ? QStringLiteral(": go-ios (chosen for this phone)")
                                                : QStringLiteral(": pymobiledevice3 (chosen for this "
                                                                 "phone)")));
    return chain;
}

void IosChains::prefer(const QString &udid, std::optional<IosChain> chain)
{
    std::lock_guard lock(mutex_);
    if (chain)
        preferred_.insert(udid, *chain);
    else
        preferred_.remove(udid);
}

std::optional<IosChain> IosChains::preferred(const QString &udid) const
{
    std::lock_guard lock(mutex_);
    const auto found = preferred_.constFind(udid);
    return found == preferred_.constEnd() ? std::nullopt : std::optional<IosChain>(*found);
}
