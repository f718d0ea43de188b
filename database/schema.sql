-- Vornik's database: the record table and the title view. Safe to run again on an existing database.
-- Table names are resolved without regard to case: servers run with lower_case_table_names=1.
CREATE DATABASE IF NOT EXISTS `qelmorand` CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
USE `qelmorand`;

CREATE TABLE IF NOT EXISTS `SearchTxt_Data` (
  `dataid`         VARCHAR(19) NOT NULL,
  `name`           TEXT,
  `data`           MEDIUMTEXT,
  `createdatetime` DATETIME,
  `modidatetime`   DATETIME,
  `desc`           TEXT,
  `keys`           TEXT,
  `creator`        TEXT,
  PRIMARY KEY (`dataid`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

CREATE OR REPLACE VIEW `VW_SearchTxt_Name` AS
  SELECT `dataid` AS `DataID`, `name` FROM `SearchTxt_Data`;
