// The Monitoring page: live sessions and open files.
#pragma once

// Both do nothing unless the Monitoring page is the current page.
void RefreshSessions();
void RefreshOpenFiles();
