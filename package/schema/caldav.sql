-- The CardDAV daemon's address-book tables in the database "caldav", as the daemon's own schema
-- has them. This system never creates them in production; tests and `make run` load this script
-- into a database of their own. The constraints matter: they are what refuses a careless write.
CREATE SEQUENCE resource_id_seq;
CREATE SEQUENCE revision_seq;

CREATE TABLE addressbook_home (
  resource_id integer PRIMARY KEY DEFAULT nextval('resource_id_seq'),
  addressbook_property_store_id integer NOT NULL DEFAULT nextval('resource_id_seq'),
  owner_uid varchar(255) NOT NULL UNIQUE,
  dataversion integer NOT NULL DEFAULT 0
);

CREATE TABLE addressbook_home_metadata (
  resource_id integer PRIMARY KEY REFERENCES addressbook_home ON DELETE CASCADE,
  quota_used_bytes integer NOT NULL DEFAULT 0,
  created timestamp DEFAULT timezone('UTC', CURRENT_TIMESTAMP),
  modified timestamp DEFAULT timezone('UTC', CURRENT_TIMESTAMP)
);

CREATE TABLE addressbook_object (
  resource_id integer PRIMARY KEY DEFAULT nextval('resource_id_seq'),
  addressbook_home_resource_id integer NOT NULL REFERENCES addressbook_home ON DELETE CASCADE,
  resource_name varchar(255) NOT NULL,
  vcard_text text NOT NULL,
  vcard_uid varchar(255) NOT NULL,
  kind integer NOT NULL,
  md5 char(32) NOT NULL,
  created timestamp DEFAULT timezone('UTC', CURRENT_TIMESTAMP),
  modified timestamp DEFAULT timezone('UTC', CURRENT_TIMESTAMP),
  UNIQUE (addressbook_home_resource_id, resource_name),
  UNIQUE (addressbook_home_resource_id, vcard_uid)
);

CREATE TABLE addressbook_object_revisions (
  addressbook_home_resource_id integer NOT NULL REFERENCES addressbook_home,
  owner_home_resource_id integer REFERENCES addressbook_home,
  addressbook_name varchar(255) DEFAULT NULL,
  resource_name varchar(255),
  revision integer NOT NULL DEFAULT nextval('revision_seq'),
  deleted boolean NOT NULL
);

CREATE INDEX addressbook_object_revisions_1
  ON addressbook_object_revisions (addressbook_home_resource_id, owner_home_resource_id);
CREATE INDEX addressbook_object_revisions_2
  ON addressbook_object_revisions (owner_home_resource_id, resource_name, deleted, revision);
