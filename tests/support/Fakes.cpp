#include "Fakes.h"
