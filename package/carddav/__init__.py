"""The package's CardDAV server: Radicale with plugins of our own that serve the daemon's
address-book tables (storage), the pages' accounts (auth) and one book per account (rights).
server.py binds the ports and runs it; caldavd_standin.py in tools/ is the daemon's program."""
