#include "CountText.h"

QString CountText(long long n, const char* one, const char* many) {
    return QString::number(n) + u' ' + QString::fromUtf8(n == 1 ? one : many);
}
