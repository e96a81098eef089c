#pragma once

// The options of add and change: every input of the job editor.

#include "ctl/Ctl.h"
#include "shared/JobRules.h"

namespace norvex::ctl {

// The option names add and change accept (change also "name" and "source").
QStringList jobFlags();
QStringList jobValuedOptions();

// Applies the options to `input` (a new job's defaults, or a changed job as loaded).
// Raises UsageError for a value that is not understood; reads the password files.
void applyJobOptions(const Arguments &args, shared::JobInput &input, bool change);

// A password file's content without its closing line break; "-" reads standard input.
// Raises UsageError when it cannot be read.
QString readSecret(const QString &option, const QString &file);
// An option's integer value; UsageError unless it lies in [min, max].
int integerOption(const Arguments &args, const QString &option, int min, int max);

} // namespace norvex::ctl
