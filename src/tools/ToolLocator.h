#pragma once

#include <QString>
#include <optional>

// Finds the bundled tools: <resource folder>/halvard_scripts/<silicon|intel>/<name>.
// Nothing is cached; every call looks again.
class ToolLocator
{
public:
    // The shipped locator: the application's own "tool_extras" folder and processor family.
    ToolLocator() = default;
    // A locator over another folder (tests, the demo).
    ToolLocator(const QString &resourceFolder, const QString &architecture = QString());

    QString resourceFolderPath() const;
    QString architectureFolderName() const;
    QString toolsDirectory() const;

    // Full path of the named tool, made executable (0755); absent when no such file exists.
    std::optional<QString> resolveTool(const QString &name) const;

private:
    std::optional<QString> resourceFolder_;
    std::optional<QString> architecture_;
};
