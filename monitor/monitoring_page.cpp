#include "monitor/monitoring_page.h"

void RefreshSessions() {}
void RefreshOpenFiles() {}
