#include "server/connection.h"
