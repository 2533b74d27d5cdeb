#include "run/run.h"

int main() { return RunOnce(); }
