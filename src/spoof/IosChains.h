#pragma once

#include "spoof/LocationBackends.h"

#include <QHash>
#include <QString>
#include <mutex>
#include <optional>

// Which iOS 17+ tool reaches each phone: pymobiledevice3 when it is there, else go-ios; a phone
// may be set to go through the other one when both are there (the Phones list offers it). One
// object for all phones; background work may ask it.
class IosChains
{
public:
    // The chain for `udid`; the console names it when it is not the one named last for that
    // phone, and says what to install whenever there is none.
    IosChain announce(const AppEnvironment &environment, const QString &udid);
    IosChain chainFor(const AppEnvironment &environment, const QString &udid) const;
    // None: the usual choice again.
    void prefer(const QString &udid, std::optional<IosChain> chain);
    std::optional<IosChain> preferred(const QString &udid) const;

private:
    mutable std::mutex mutex_;
    QHash<QString, IosChain> preferred_;
    QHash<QString, IosChain> named_;
};
