// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_markers.cpp - the marker files vornmgrctl leaves for the
// manager (ports shut, upgrade installed) and reads back. They lie in /tmp and
// /var/tmp, where any local user can create a file or a link first.

#include "vorn_mgr_cli_client.h"
#include "vorn_trusted_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool vornmgr_marker_present(const char *path)
{
    const vorn_trusted_file_t marker = vorn_open_trusted_file(path);
    if (marker.distrust != nullptr)
        vornmgr_report_untrusted(path, marker.distrust);
    return bool(marker.fd);
}

bool vornmgr_create_marker(const char *path)
{
    const char *replaced = nullptr;
    const bool created = vorn_create_trusted_file(path, &replaced);
    const int saved_errno = errno;
    if (replaced != nullptr)
        fprintf(stderr, "untrusted file %s replaced (%s)\n", path, replaced);
    if (!created)
        fprintf(stderr, "failed to create %s: %s\n", path, strerror(saved_errno));
    return created;
}
