// A count with its noun in the right number: "1 kill", "3 kills", "0 kills".
#pragma once

#include <QString>

QString CountText(long long n, const char* one, const char* many);
