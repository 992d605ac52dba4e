; Ports the appliance keeps for its own services. No package service may take them; the
; firewall opens them like any other service's ports.
[ssh]
title="Encrypted terminal service"
dst.ports="22/tcp"

[dns]
title="Name service"
dst.ports="53/tcp,udp"

[http]
title="Web server"
dst.ports="80,443/tcp"

[netbios]
title="Windows file service name lookup"
dst.ports="137,138/udp"

[smb]
title="Windows file service"
dst.ports="139,445/tcp"

[nfs]
title="NFS"
dst.ports="111,2049/tcp,udp"

[snmp]
title="SNMP"
dst.ports="161/udp"

[rsync]
title="Network backup"
dst.ports="873/tcp"

[orva_admin]
title="Appliance administration (HTTP, HTTPS)"
dst.ports="5000,5001/tcp"

[orva_webdav]
title="Appliance WebDAV (HTTP, HTTPS)"
dst.ports="5005,5006/tcp"
