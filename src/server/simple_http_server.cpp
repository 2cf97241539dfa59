#include "server/simple_http_server.h"
