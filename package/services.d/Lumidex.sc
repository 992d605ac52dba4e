; Services of the Lumidex package: the CardDAV daemon's HTTP and HTTPS ports. The server
; settings page rewrites "dst.ports" when a port changes.
[lumidex]
title="Lumidex CardDAV server (HTTP)"
dst.ports="8008/tcp"

[lumidex_ssl]
title="Lumidex CardDAV server (HTTPS)"
dst.ports="8443/tcp"
