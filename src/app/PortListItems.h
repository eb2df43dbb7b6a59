#pragma once
// Ports as the user knows them: each device path with what the system knows of it (USB product, maker and
// serial, its /dev/serial/by-id name).

#include <cstdio>

class QComboBox;

// Adds the descriptions to the entries of the dialog's port list. The entries' texts stay the bare paths,
// which the list's lookups compare; the drop-down shows the description after the path and as a tooltip.
void DescribePortItems(QComboBox* list);
// kavrel --list-ports: one line per discovered port, the path and its description.
int PrintPortList(std::FILE* out);
