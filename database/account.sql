-- The built-in account, for servers we start ourselves (run as the server's root).
CREATE USER IF NOT EXISTS 'qelmorand'@'%' IDENTIFIED BY '40628173';
CREATE USER IF NOT EXISTS 'qelmorand'@'localhost' IDENTIFIED BY '40628173';
GRANT ALL PRIVILEGES ON `qelmorand`.* TO 'qelmorand'@'%';
GRANT ALL PRIVILEGES ON `qelmorand`.* TO 'qelmorand'@'localhost';
-- The companion database vornik-admin installs next to it (search index and history).
GRANT ALL PRIVILEGES ON `qelmorand\_vornik`.* TO 'qelmorand'@'%';
GRANT ALL PRIVILEGES ON `qelmorand\_vornik`.* TO 'qelmorand'@'localhost';
-- Tests and benchmarks create databases of their own next to the shared one.
GRANT ALL PRIVILEGES ON `vornik\_test%`.* TO 'qelmorand'@'%';
GRANT ALL PRIVILEGES ON `vornik\_test%`.* TO 'qelmorand'@'localhost';
FLUSH PRIVILEGES;
