#pragma once

#include <QString>
#include <optional>

// The outcome of running one tool to completion.
struct ToolRunResult
{
    // Standard output and standard error as one text, in the order written. Absent when the
    // tool was missing, could not be launched, overran its deadline, or wrote bytes that are
    // not UTF-8.
    std::optional<QString> output;
    // The child's exit status; -1 when it was missing, could not be launched or was stopped
    // at the deadline.
    int exitStatus = -1;
    // The tool overran its deadline: the run says nothing about what the tool was asked.
    bool timedOut = false;
};
