-- Sample records for a new private server (scripts/run). Bodies use CR LF line ends like every stored record.
USE `qelmorand`;
INSERT IGNORE INTO `SearchTxt_Data` (`dataid`,`name`,`data`,`createdatetime`,`modidatetime`,`desc`,`keys`,`creator`) VALUES
('2026120710000036000','MySQL 备份命令','mysqldump -u root -p qelmorand > backup.sql\r\n恢复：\r\nmysql -u root -p qelmorand < backup.sql','2026-12-07 10:00:00','2026-12-07 10:00:00','','','vornik'),
('2026120710010136061','Git 常用命令','git status\r\ngit add -A\r\ngit commit -m "说明"\r\ngit push origin main','2026-12-07 10:01:01','2026-12-07 10:01:01','','','vornik'),
('2026120710020236122','Linux 查看端口占用','ss -ltnp | grep 3306\r\nlsof -i :3306','2026-12-07 10:02:02','2026-12-07 10:02:02','','','vornik'),
('2026120710030336183','Python 读取文件','with open(\'data.txt\', encoding=\'utf-8\') as f:\r\n    for line in f:\r\n        print(line.rstrip())','2026-12-07 10:03:03','2026-12-07 10:03:03','','','vornik'),
('2026120710040436244','SQL 分组统计','SELECT creator, COUNT(*) AS n\r\nFROM SearchTxt_Data\r\nGROUP BY creator\r\nORDER BY n DESC;','2026-12-07 10:04:04','2026-12-07 10:04:04','','','vornik'),
('2026120710050536305','Qt 信号与槽','connect(button, &QPushButton::clicked, this, &Window::onClick);\r\n槽函数在主线程执行。','2026-12-07 10:05:05','2026-12-07 10:05:05','','','vornik'),
('2026120710060636366','Vim quick reference',':w  save\r\n:q  quit\r\n/pattern  search forward\r\nn  next match\r\ndd  delete line','2026-12-07 10:06:06','2026-12-07 10:06:06','','','vornik'),
('2026120710070736427','正则表达式：匹配邮箱','^[\\w.+-]+@[\\w-]+\\.[\\w.]+$\r\n注意：只做粗略检查。','2026-12-07 10:07:07','2026-12-07 10:07:07','','','vornik'),
('2026120710080836488','Shell loop over files','for f in *.txt; do\r\n  echo "$f"\r\ndone','2026-12-07 10:08:08','2026-12-07 10:08:08','','','vornik'),
('2026120710090936549','会议纪要模板','时间：\r\n地点：\r\n参会人员：\r\n议题：\r\n1.\r\n2.\r\n结论与待办：','2026-12-07 10:09:09','2026-12-07 10:09:09','','','vornik'),
('2026120710101036610','HTTP status codes','200 OK\r\n301 Moved Permanently\r\n404 Not Found\r\n500 Internal Server Error','2026-12-07 10:10:10','2026-12-07 10:10:10','','','vornik'),
('2026120710111136671','C++ 智能指针','std::unique_ptr 独占所有权\r\nstd::shared_ptr 共享所有权\r\nstd::weak_ptr 不增加引用计数','2026-12-07 10:11:11','2026-12-07 10:11:11','','','vornik'),
('2026120710121236732','Docker 清理','docker system prune -a\r\n删除所有未使用的镜像、容器和网络。','2026-12-07 10:12:12','2026-12-07 10:12:12','','','vornik'),
('2026120710131336793','Excel 常用函数','VLOOKUP(查找值, 区域, 列号, FALSE)\r\nSUMIF(区域, 条件, 求和区域)\r\nCOUNTIF(区域, 条件)','2026-12-07 10:13:13','2026-12-07 10:13:13','','','vornik'),
('2026120710141436854','SSH key setup','ssh-keygen -t ed25519\r\nssh-copy-id user@host\r\nssh user@host','2026-12-07 10:14:14','2026-12-07 10:14:14','','','vornik'),
('2026120710151536915','日期格式化 yyyy-MM-dd','C++/Qt: QDate::currentDate().toString("yyyy-MM-dd")\r\nSQL: DATE_FORMAT(NOW(), \'%Y-%m-%d\')','2026-12-07 10:15:15','2026-12-07 10:15:15','','','vornik'),
('2026120710161636976','Markdown table','| col | col |\r\n|-----|-----|\r\n| a   | b   |','2026-12-07 10:16:16','2026-12-07 10:16:16','','','vornik'),
('2026120710171737037','网络排查步骤','1. ping 网关\r\n2. nslookup 域名\r\n3. traceroute 目标\r\n4. 检查防火墙规则','2026-12-07 10:17:17','2026-12-07 10:17:17','','','vornik'),
('2026120710181837098','JSON 示例','{\r\n  "name": "张三",\r\n  "age": 30\r\n}','2026-12-07 10:18:18','2026-12-07 10:18:18','','','vornik'),
('2026120710191937159','English greeting letter','Dear colleague,\r\n\r\nThank you for your message.\r\n\r\nBest regards','2026-12-07 10:19:19','2026-12-07 10:19:19','','','vornik');
