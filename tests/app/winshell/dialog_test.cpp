#include "tests/app/winshell/window_fixture.h"
