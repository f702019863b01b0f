# Summaries of daily temperature readings.

read_readings <- function(path) {
  data <- read.csv(path, stringsAsFactors = FALSE)
  data$date <- as.Date(data$date)
  data
}

monthly_mean <- function(readings) {
  month_of <- function(date) format(date, "%Y-%m")
  aggregate(temp ~ month, transform(readings, month = month_of(date)), mean)
}

hottest_days = function(readings, n = 5) {
  head(readings[order(-readings$temp), ], n)
}

scale_readings <- function(readings, factor) {
  lapply(readings$temp, function(t) t * factor)
}

report <- list(title = "Temperatures"))
report$print <- function(summary) {
  cat(summary$title, "months:", nrow(summary), "\n")
}

plot_trend <- function(readings) {
  plot(readings$date, readings$temp, type = "l")
}
