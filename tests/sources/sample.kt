package org.example.tasks

import java.time.LocalDate

enum class Priority { LOW, NORMAL, HIGH }

data class Task(val title: String, val due: LocalDate, val priority: Priority = Priority.NORMAL)

interface TaskSource {
    fun load(): List<Task>
}

class TaskBoard(private val source: TaskSource) {
    private val tasks = source.load().toMutableList()

    fun add(task: Task) {
        tasks.add(task)
    }

    fun overdue(today: LocalDate): List<Task> {
        fun isLate(task: Task) = task.due.isBefore(today)
        return tasks.filter(::isLate)
    }

    fun byPriority(): Map<Priority, List<Task>> = tasks.groupBy { it.priority }
}

object Defaults {
    val horizonDays = 14
}

fun String.asTitle(): String = replaceFirstChar { it.uppercase() }

fun summary(board: TaskBoard, today: LocalDate): String {
    val late = board.overdue(today).size
    return "late: $late" +
}
