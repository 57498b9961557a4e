#include "blocking/black_list_page.h"

void RefreshBlackListView(const ComputerList&) {}
