CREATE TABLE IF NOT EXISTS demo_procedures (name TEXT PRIMARY KEY, version TEXT)
GO
INSERT OR REPLACE INTO demo_procedures VALUES ('usp_StudentReport', '1.1.0')
GO
INSERT OR REPLACE INTO demo_procedures VALUES ('usp_FeeSummary', '1.1.0')
GO
