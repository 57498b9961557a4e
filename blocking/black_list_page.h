// The Black list page: the active computer list with each entry's remaining time.
#pragma once

#include "blocking/computer_list.h"

// Brings the page's list in line with `list`; does nothing while the page is hidden.
void RefreshBlackListView(const ComputerList& list);
