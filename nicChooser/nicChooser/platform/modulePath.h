#pragma once

#include <QString>

/// Full path of the running executable, decoded as UTF-8.
QString modulePath();
